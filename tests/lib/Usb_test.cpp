// USB through real libusb against modules emulated with umockdev: enumeration, open,
// bulk transfers both ways, chunking, error tolerance, the shared context
#include <gtest/gtest.h>

#include <libusb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <set>

#include "Corvane-C.h"
#include "UsbModuleHarness.h"
#include "aStreamUSB.h"
#include "cvusb_driver.h"
#include "discover.h"

namespace {

using testsupport::Bytes;
using testsupport::KernelNode;
using testsupport::UsbFault;
using testsupport::UsbModule;
using testsupport::UsbModuleSpec;
using testsupport::UsbTestbed;

UsbModuleSpec module(const std::string& serial, uint16_t productId = 0x0013,
                     uint16_t maxPacket = 64) {
    return {serial, cvusb_VENDOR_ID, productId, maxPacket, true};
}

std::string serialText(uint32_t serial) {
    char text[16];
    snprintf(text, sizeof text, "%08X", unsigned(serial));
    return text;
}

Bytes counting(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(i * 7 + 3);
    return b;
}

struct StreamDeleter {
    void operator()(aStream* s) const { aStream_Destroy(&s); }
};
using Stream = std::unique_ptr<aStream, StreamDeleter>;

Stream openStream(uint32_t serial, aErr* err = nullptr) {
    aStreamRef s = nullptr;
    aErr e = aStream_CreateUSB(serial, &s);
    if (err) *err = e;
    return Stream(s);
}

// Reads n bytes one at a time, giving up after a few seconds of nothing.
Bytes readBytes(aStreamRef s, size_t n) {
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
        uint8_t b;
        if (aStream_Read(s, &b, 1) == aErrNone) got.push_back(b);
    }
    return got;
}

// Every test brings its own devices and ends the shared context, so the next test's
// context lists the next test's devices.
class UsbTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(bed.error(), ""); }
    void TearDown() override { Corvane_libusb_exit(); }
    UsbModule* attach(const UsbModuleSpec& spec) {
        UsbModule* m = bed.attach(spec);
        EXPECT_NE(m, nullptr) << bed.error();
        return m;
    }
    UsbTestbed bed;
};

bool collect(const linkSpec* spec, bool* found, void* context) {
    static_cast<std::vector<linkSpec>*>(context)->push_back(*spec);
    *found = true;
    return true;
}

TEST_F(UsbTest, EnumerationKeepsModulesWithEightCharacterSerialsOnly) {
    struct Case {
        UsbModuleSpec spec;
        bool listed;
    };
    const Case cases[] = {
        {module("40F5849A", 0x0013), true},
        {module("0012abcd", 0x0005), true}, // listed; opening is what needs upper case
        {module("1234567"), false},
        {module("123456789"), false},
        {module("XYZ12345"), false}, // eight characters, but no number
        {module("5555AAAA", 0x8001), false},
        {{"6666BBBB", uint16_t(cvusb_VENDOR_ID + 1), 0x0013, 64, true}, false},
    };
    std::vector<UsbModule*> modules;
    for (const Case& c : cases)
        modules.push_back(attach(c.spec));
    ASSERT_FALSE(HasFailure());

    std::vector<linkSpec> found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, 0), 2);
    ASSERT_EQ(found.size(), 2u);
    std::map<uint32_t, linkSpec> bySerial;
    for (const linkSpec& s : found)
        bySerial[s.serialNumber] = s;
    ASSERT_EQ(bySerial.count(0x40F5849A), 1u);
    ASSERT_EQ(bySerial.count(0x0012ABCD), 1u);
    const linkSpec& a = bySerial[0x40F5849A];
    EXPECT_EQ(a.type, uint32_t(USB));
    EXPECT_EQ(a.t.usb.usbId, 0x40F5849Au);
    EXPECT_EQ(a.model, 0x13u);
    EXPECT_EQ(a.module, 0u);
    EXPECT_EQ(a.router, 0u);
    EXPECT_EQ(a.routerSerialNumber, 0u);
    EXPECT_EQ(bySerial[0x0012ABCD].model, 0x05u);
    // Devices failing the id rule are never even opened.
    EXPECT_EQ(modules[5]->opens(), 0);
    EXPECT_EQ(modules[6]->opens(), 0);
}

TEST_F(UsbTest, CallbackStopsEnumerationAndFindsPickTheirModule) {
    attach(module("40F5849A"));
    attach(module("00000000"));
    attach(module("0BADCAFE"));
    ASSERT_FALSE(HasFailure());

    for (bool setFound : {true, false}) {
        struct Seen {
            int calls = 0;
            bool setFound;
        } seen{0, setFound};
        auto stopAtFirst = [](const linkSpec*, bool* found, void* ctx) {
            Seen* s = static_cast<Seen*>(ctx);
            s->calls++;
            *found = s->setFound;
            return false;
        };
        EXPECT_EQ(aDiscovery_EnumerateModules(USB, stopAtFirst, &seen, 0), setFound ? 1 : 0);
        EXPECT_EQ(seen.calls, 1);
    }

    linkSpec* spec = aDiscovery_FindModule(USB, 0x0BADCAFE, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x0BADCAFEu);
    EXPECT_EQ(spec->t.usb.usbId, 0x0BADCAFEu);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);

    EXPECT_EQ(aDiscovery_FindModule(USB, 0x12345678, 0), nullptr);

    spec = aDiscovery_FindFirstModule(USB, 0);
    ASSERT_NE(spec, nullptr);
    EXPECT_NE(spec->serialNumber, 0u); // the module with serial 0 is passed over
    aLinkSpec_Destroy(&spec);
}

TEST_F(UsbTest, OpenNeedsTheExactSerialTextTheIdRuleAndTheVendorInterface) {
    UsbModule* upper = attach(module("0012ABCD"));
    UsbModule* lower = attach(module("7777abcd"));
    UsbModule* stranger = attach(module("5555AAAA", 0x8001));
    attach({"11112222", cvusb_VENDOR_ID, 0x0013, 64, false});
    ASSERT_FALSE(HasFailure());

    struct Case {
        uint32_t serial;
        aErr expected;
    };
    const Case cases[] = {
        {0x0012ABCD, aErrNone},          {0x7777ABCD, aErrNotFound}, // its text is lower case
        {0x5555AAAA, aErrNotFound},                                  // product id with bit 15 set
        {0x11112222, aErrConfiguration}, {0x99999999, aErrNotFound}, {0, aErrParam},
    };
    for (const Case& c : cases) {
        aErr err = aErrUnknown;
        Stream s = openStream(c.serial, &err);
        EXPECT_EQ(err, c.expected) << std::hex << c.serial;
        EXPECT_EQ(s != nullptr, c.expected == aErrNone);
    }
    EXPECT_EQ(aStream_CreateUSB(0x0012ABCD, nullptr), aErrParam);
    EXPECT_EQ(upper->claims(), 1);
    EXPECT_EQ(lower->claims(), 0);
    EXPECT_EQ(stranger->opens(), 0);
}

TEST_F(UsbTest, BytesTravelBothWays) {
    UsbModule* m = attach(module("40F5849A"));
    ASSERT_FALSE(HasFailure());
    Stream s = openStream(0x40F5849A);
    ASSERT_TRUE(s);

    Bytes request = {0x04, 0x03, 0x03, 0x48, 0x20};
    ASSERT_EQ(aStream_Write(s.get(), request.data(), request.size()), aErrNone);
    ASSERT_TRUE(m->awaitWritten(request.size(), 5000));
    EXPECT_EQ(m->written(), request);

    // Every byte value, more than one transfer's worth.
    Bytes reply(1500);
    for (size_t i = 0; i < reply.size(); i++)
        reply[i] = uint8_t(i);
    m->queue(reply);
    EXPECT_EQ(readBytes(s.get(), reply.size()), reply);

    // With nothing sent the read gives up after its time-out, and the stream still works.
    uint8_t b;
    EXPECT_EQ(aStream_Read(s.get(), &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_WaitReadable(s.get(), 1000), aErrNone);
    m->queue({0xAD});
    EXPECT_EQ(readBytes(s.get(), 1), Bytes{0xAD});
}

TEST_F(UsbTest, WritesAreCutIntoPacketSizedTransfers) {
    struct Case {
        uint16_t maxPacket;
        size_t length;
        std::vector<size_t> transfers;
    };
    const Case cases[] = {
        {64, 1000, {64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 64, 40}},
        {512, 600, {511, 89}},
        {512, 1024, {511, 511, 2}},
        {64, 64, {64}},
    };
    std::vector<UsbModule*> modules;
    for (size_t i = 0; i < std::size(cases); i++)
        modules.push_back(attach(module(serialText(0x10000000 + i), 0x0013, cases[i].maxPacket)));
    ASSERT_FALSE(HasFailure());
    for (size_t i = 0; i < std::size(cases); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << c.maxPacket << "-byte packets, " << c.length);
        Stream s = openStream(uint32_t(0x10000000 + i));
        ASSERT_TRUE(s);
        Bytes data = counting(c.length);
        ASSERT_EQ(aStream_Write(s.get(), data.data(), data.size()), aErrNone);
        EXPECT_EQ(modules[i]->outTransfers(), c.transfers);
        EXPECT_EQ(modules[i]->written(), data);
    }
}

struct Driver {
    Driver() : d(cvusb_create_usb(cvusb_BACKEND_LIBUSB)) {}
    ~Driver() { cvusb_destroy(&d); }
    aErr get(uint8_t* b) { return cvusb_get_from_device(d, b); }
    aErr write(const Bytes& b) { return cvusb_write_to_device(d, b.data(), b.size()); }
    cvusbRef d;
};

TEST_F(UsbTest, FourIoErrorsInARowAreAbsorbedAndTheFifthFailsTheDevice) {
    UsbModule* m = attach(module("40F5849A"));
    ASSERT_FALSE(HasFailure());
    Driver drv;
    ASSERT_EQ(cvusb_open_corvane_device(drv.d, "40F5849A"), aErrNone);

    m->failNext(5, UsbFault::IoError);
    uint8_t b;
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(drv.get(&b), aErrNotReady) << i;
    EXPECT_EQ(drv.get(&b), aErrIO);
    EXPECT_EQ(cvusb_get_state(drv.d), cvusb_STATE_FAILED);
    // Failed for good: a write fails at once, without a transfer.
    EXPECT_EQ(drv.write({1, 2, 3}), aErrIO);
    EXPECT_EQ(drv.get(&b), aErrIO);
    EXPECT_TRUE(m->outTransfers().empty());

    // Opening again recovers.
    ASSERT_EQ(cvusb_open_corvane_device(drv.d, "40F5849A"), aErrNone);
    EXPECT_EQ(drv.write({1, 2, 3}), aErrNone);
    EXPECT_EQ(m->written(), (Bytes{1, 2, 3}));

    EXPECT_EQ(cvusb_destroy(&drv.d), aErrNone);
    EXPECT_EQ(drv.d, nullptr);
    EXPECT_EQ(cvusb_destroy(&drv.d), aErrParam);
}

TEST_F(UsbTest, TransferFaultsAreRetriedClearedOrCountedAsTheirKindWants) {
    UsbModule* m = attach(module("40F5849A"));
    ASSERT_FALSE(HasFailure());
    Driver drv;
    ASSERT_EQ(cvusb_open_corvane_device(drv.d, "40F5849A"), aErrNone);
    uint8_t b = 0;

    // A good read between errors starts the count over.
    m->failNext(4, UsbFault::IoError);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(drv.get(&b), aErrNotReady);
    m->queue({7});
    EXPECT_EQ(drv.get(&b), aErrNone);
    EXPECT_EQ(b, 7);
    m->failNext(4, UsbFault::IoError);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(drv.get(&b), aErrNotReady);
    EXPECT_EQ(cvusb_get_state(drv.d), cvusb_STATE_READY);

    // A stalled IN endpoint is cleared and the next read works.
    m->failNext(1, UsbFault::Stall);
    EXPECT_EQ(drv.get(&b), aErrNotReady);
    m->queue({8});
    EXPECT_EQ(drv.get(&b), aErrNone);
    EXPECT_EQ(b, 8);

    // Failed OUT transfers are sent again, stalled ones after clearing the halt.
    m->failNext(3, UsbFault::IoError);
    EXPECT_EQ(drv.write(counting(10)), aErrNone);
    m->failNext(1, UsbFault::Stall);
    EXPECT_EQ(drv.write(counting(10)), aErrNone);
    Bytes twice = counting(10);
    twice.insert(twice.end(), twice.begin(), twice.end());
    EXPECT_EQ(m->written(), twice);

    // Ten failed transfers leave bytes unsent: a write error, but not a failed device.
    m->failNext(10, UsbFault::IoError);
    EXPECT_EQ(drv.write({1}), aErrWrite);
    EXPECT_EQ(m->written().size(), 20u);
    EXPECT_EQ(drv.write({1}), aErrNone);

    // An endpoint that stalls and cannot be cleared is an I/O error: absorbed four
    // times, then the device counts as failed.
    m->refuseClearHalt(true);
    for (int i = 0; i < 4; i++) {
        m->failNext(1, UsbFault::Stall);
        EXPECT_EQ(drv.write({2}), aErrNone) << i;
    }
    m->failNext(1, UsbFault::Stall);
    EXPECT_EQ(drv.write({2}), aErrIO);
    EXPECT_EQ(cvusb_get_state(drv.d), cvusb_STATE_FAILED);
}

TEST_F(UsbTest, AClosedOrUnclaimedRecordRefusesTransfers) {
    attach(module("40F5849A"));
    ASSERT_FALSE(HasFailure());
    Driver drv;
    uint8_t b;
    EXPECT_EQ(cvusb_get_state(drv.d), cvusb_STATE_CREATED);
    EXPECT_EQ(drv.write({1}), aErrNotReady);
    EXPECT_EQ(drv.get(&b), aErrNotReady);
    ASSERT_EQ(cvusb_open_corvane_device(drv.d, "40F5849A"), aErrNone);
    EXPECT_EQ(cvusb_close_corvane_device(drv.d), aErrNone);
    EXPECT_EQ(drv.write({1}), aErrConnection);
    EXPECT_EQ(drv.get(&b), aErrConnection);
}

size_t countModules() {
    std::vector<linkSpec> found;
    return aDiscovery_EnumerateModules(USB, collect, &found, 0);
}

std::atomic<int> contextLogLines{0};

void countLogLine(libusb_context*, enum libusb_log_level, const char*) {
    contextLogLines++;
}

void dropLogLine(libusb_context*, enum libusb_log_level, const char*) {}

TEST_F(UsbTest, EndingTheContextLetsTheNextUseStartAFreshOne) {
    attach(module("40F5849A"));
    ASSERT_FALSE(HasFailure());
    libusb_context* ctx = Corvane_libusb_context();
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(Corvane_libusb_init(), ctx);

    // Mark the context: it logs every step of an enumeration to us (and not to stderr).
    libusb_set_log_cb(nullptr, dropLogLine, LIBUSB_LOG_CB_GLOBAL);
    libusb_set_log_cb(ctx, countLogLine, LIBUSB_LOG_CB_CONTEXT);
    libusb_set_option(ctx, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_DEBUG);
    EXPECT_EQ(countModules(), 1u);
    EXPECT_GT(contextLogLines.load(), 0);

    // The next use gets a context without the mark, and it still finds the module.
    Corvane_libusb_exit();
    contextLogLines = 0;
    EXPECT_EQ(countModules(), 1u);
    EXPECT_EQ(contextLogLines.load(), 0);
    Corvane_libusb_exit();
    Corvane_libusb_exit(); // harmless without a context
    libusb_set_log_cb(nullptr, nullptr, LIBUSB_LOG_CB_GLOBAL);
}

} // namespace
