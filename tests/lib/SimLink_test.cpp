// The link engine and the Link object against the simulator's module core on every transport:
// TCP loopback, a COBS-framed pty, emulated USB and a driver node; discovery on USB and,
// inside private network namespaces, on TCP/IP
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>

#include "Corvane-C.h"
#include "Link.h"
#include "NamespacePair.h"
#include "SimUsb.h"
#include "Simulator.h"
#include "aLink.h"
#include "aTime.h"
#include "discover.h"

using Pelmora::Corvane::aLoomConfig;
using Pelmora::Corvane::Link;
using Bytes = std::vector<uint8_t>;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSerial = 0x40F5849A;
constexpr uint8_t kEcho = 23;

enum class Via { Tcp, Pty, Usb, Node };

std::string viaName(const ::testing::TestParamInfo<Via>& info) {
    const char* names[] = {"Tcp", "SerialCobs", "Usb", "KernelNode"};
    return names[int(info.param)];
}

bool awaitStatus(aLinkRef id, int status, int timeoutMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (aLink_GetStatus(id) != status) {
        if (Clock::now() > deadline) return false;
        aTime_MSSleep(1);
    }
    return true;
}

void put(aLinkRef id, uint8_t address, const Bytes& data) {
    aPacket* p = aPacket_CreateWithData(address, uint8_t(data.size()), data.data());
    ASSERT_EQ(aErrNone, aLink_PutPacket(id, p));
    aPacket_Destroy(&p);
}

Bytes imageOf(const aPacket* p) {
    Bytes b(p->data, p->data + p->dataSize);
    b.insert(b.begin(), {p->address, p->dataSize});
    return b;
}

Bytes echoRequest(const Bytes& payload) {
    Bytes request = {kEcho};
    request.insert(request.end(), payload.begin(), payload.end());
    return request;
}

// Sends an echo request to the module at address 2 and answers the reply's image.
// Surplus answers to the sync handshake (packets without data) are passed over: a host
// slowed down by a sanitizer can receive them after the handshake's own drain.
Bytes echo(aLinkRef id, const Bytes& payload) {
    put(id, 2, echoRequest(payload));
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until) {
        aPacket* p = aLink_AwaitPacket(id, 100);
        if (!p) continue;
        bool surplus = p->dataSize == 0;
        Bytes got = imageOf(p);
        aPacket_Destroy(&p);
        if (!surplus) return got;
    }
    return {};
}

Bytes echoImage(const Bytes& payload) {
    Bytes b = {2, uint8_t(payload.size() + 1), kEcho};
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

// One simulated module on one transport, and how the host opens a link to it.
class SimulatedModule {
  public:
    SimulatedModule(Via via, const SimModuleConfig& config) : via(via) {
        // A libusb context an earlier test left behind lists the devices of its time.
        Corvane_libusb_exit();
        module = &sim.add(config);
        switch (via) {
        case Via::Tcp:
            sim.listenTcp(*module, "127.0.0.1", 0);
            break;
        case Via::Pty:
            sim.openPty(*module);
            break;
        case Via::Usb:
            sim.attachUsb(*module);
            break;
        case Via::Node:
            sim.attachKernelNode(*module);
            break;
        }
        error = sim.start();
        for (const auto& e : sim.endpoints())
            where = e.where;
    }
    ~SimulatedModule() {
        // The host's libusb context goes before the emulated devices do.
        Corvane_libusb_exit();
        sim.stop();
    }
    aLinkRef open() {
        uint32_t serial = module->originalSerial();
        if (via == Via::Tcp)
            return aLink_CreateTCPIP(serial, htonl(INADDR_LOOPBACK),
                                     uint16_t(std::stoi(where.substr(where.rfind(':') + 1))));
        if (via == Via::Pty) return aLink_CreateSerial(serial, where.c_str(), 115200);
        return aLink_CreateUSB(serial);
    }
    template <typename Fn> auto with(Fn fn) { return sim.with(fn); }

    Via via;
    Simulator sim;
    SimModule* module = nullptr;
    std::string error, where;
};

SimModuleConfig config(uint8_t heartbeat = 0) {
    SimModuleConfig c;
    c.serial = kSerial;
    c.heartbeat = heartbeat;
    return c;
}

class SimLinkEngine : public ::testing::TestWithParam<Via> {
  protected:
    void SetUp() override { ASSERT_EQ("", sim.error); }
    // Heartbeats every half second: a slow (sanitized, emulated) host still answers one
    // before the next goes out, so a late answer is never counted as a wrong one.
    SimulatedModule sim{GetParam(), config(5)};
};

// A link held in sync by a module that cannot answer yet: a waiter for replies is
// turned away at once, and the sync completes once the module answers.
TEST_P(SimLinkEngine, SyncsAndTurnsAwayWaitersWhileSyncing) {
    aLinkRef id = sim.open();
    ASSERT_NE(0u, id);
    EXPECT_EQ(LINK_RUNNING, aLink_GetStatus(id));
    std::future<aErr> sync;
    aPacket* first = nullptr;
    auto before = Clock::now();
    sim.with([&] {
        sync = std::async(std::launch::async, [id] { return aLink_Sync(id); });
        if (awaitStatus(id, LINK_SYNCING))
            first = aLink_AwaitFirst(
                id, [](const aPacket*, void*) { return true; }, nullptr, 60000);
    });
    EXPECT_EQ(nullptr, first);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(30)); // turned away, not timed out
    EXPECT_EQ(aErrNone, sync.get());
    EXPECT_EQ(LINK_RUNNING, aLink_GetStatus(id));
    EXPECT_EQ(echoImage({1, 2, 3}), echo(id, {1, 2, 3}));
    aLink_Destroy(&id);
}

TEST_P(SimLinkEngine, AnswersHeartbeatsAndNeverQueuesThem) {
    aLinkRef id = sim.open();
    ASSERT_NE(0u, id);
    SimModule& m = *sim.module;
    ASSERT_TRUE(sim.sim.waitFor([&] { return m.heartbeatsAnswered() >= 3; }, 10000));
    EXPECT_EQ(0, sim.with([&] { return m.heartbeatsWrong(); }));
    // Other traffic may wait in the queue (a late reply when a loaded host resynced);
    // what must never be there is a heartbeat: address, length 2, command 0.
    while (aPacket* queued = aLink_GetPacket(id)) {
        Bytes image = imageOf(queued);
        EXPECT_FALSE(image.size() == 4 && image[1] == 2 && image[2] == 0)
            << "a heartbeat was queued";
        aPacket_Destroy(&queued);
    }
    // Replies still come through between the heartbeats.
    EXPECT_EQ(echoImage({9}), echo(id, {9}));
    aLink_Destroy(&id);
}

TEST_P(SimLinkEngine, SharesTheLinkAndRoutesUntilTheLastUserGoes) {
    SimModule& m = *sim.module;
    aLinkRef first = sim.open();
    aLinkRef second = sim.open();
    ASSERT_NE(0u, first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(2, aLink_GetUseCount(first));
    EXPECT_TRUE(sim.sim.waitFor([&] { return m.forceRoute() == 1; }, 5000));

    EXPECT_EQ(aErrNone, aLink_Destroy(&second));
    EXPECT_EQ(1, aLink_GetUseCount(first));
    EXPECT_EQ(echoImage({4, 5}), echo(first, {4, 5}));
    EXPECT_EQ(1, sim.with([&] { return m.forceRoute(); }));

    EXPECT_EQ(aErrNone, aLink_Destroy(&first));
    EXPECT_TRUE(sim.sim.waitFor([&] { return m.forceRoute() == 0; }, 5000));
}

TEST_P(SimLinkEngine, ResetReopensTheStream) {
    if (GetParam() == Via::Pty) GTEST_SKIP() << "a serial stream is not remade";
    aLinkRef id = sim.open();
    ASSERT_NE(0u, id);
    EXPECT_EQ(aErrNone, aLink_Reset(id));
    EXPECT_EQ(LINK_RUNNING, aLink_GetStatus(id));
    if (GetParam() == Via::Usb) {
        EXPECT_EQ(2, sim.with([&] { return sim.sim.usbDevice(*sim.module); })->claims());
    }
    EXPECT_EQ(echoImage({7}), echo(id, {7}));
    aLink_Destroy(&id);
}

INSTANTIATE_TEST_SUITE_P(Transports, SimLinkEngine,
                         ::testing::Values(Via::Tcp, Via::Pty, Via::Usb, Via::Node), viaName);

// Pooled packets leave in one write, which USB carries in transfers of at most 511 bytes.
TEST(SimLinkUsb, PooledWriteIsCutIntoTransfersOf511) {
    SimulatedModule sim(Via::Usb, config());
    ASSERT_EQ("", sim.error);
    aLinkRef id = sim.open();
    ASSERT_NE(0u, id);
    SimUsbDevice* device = sim.with([&] { return sim.sim.usbDevice(*sim.module); });
    ASSERT_NE(nullptr, device);
    ASSERT_EQ(aErrNone, aLink_EnablePooledPackets(id, true));

    // The writer is held in its first write while twenty more packets queue up.
    Bytes payload(27, 0xA5);
    device->holdWrites(true);
    put(id, 2, echoRequest(payload));
    ASSERT_TRUE(device->awaitHeldWrite(5000));
    for (int i = 0; i < 20; i++) {
        payload[0] = uint8_t(i);
        put(id, 2, echoRequest(payload));
    }
    device->holdWrites(false);
    for (int i = -1; i < 20; i++) {
        aPacket* p = aLink_AwaitPacket(id, 5000);
        while (p && p->dataSize == 0) { // a surplus sync answer, as in echo()
            aPacket_Destroy(&p);
            p = aLink_AwaitPacket(id, 5000);
        }
        ASSERT_NE(nullptr, p) << i;
        if (i >= 0) {
            EXPECT_EQ(uint8_t(i), p->data[1]); // in order
        }
        aPacket_Destroy(&p);
    }
    std::vector<size_t> transfers = device->outTransfers();
    ASSERT_GE(transfers.size(), 3u);
    EXPECT_EQ((std::vector<size_t>{30, 511, 89}),
              std::vector<size_t>(transfers.end() - 3, transfers.end()));
    aLink_Destroy(&id);
}

linkSpec* findUsb(uint32_t serial) {
    return aDiscovery_FindModule(USB, serial, 0);
}

bool onUsb(uint32_t serial) {
    linkSpec* s = findUsb(serial);
    bool found = s != nullptr;
    aLinkSpec_Destroy(&s);
    return found;
}

// A module whose loader starts drops off USB and comes back as DEADDEAD; after the
// reboot it comes back under its own serial number. The host's libusb context stays.
TEST(SimLinkUsb, RestartingModuleLeavesUsbAndComesBack) {
    SimModuleConfig c = config();
    c.afterLoad = SimAfterLoad::DeadBeef;
    // Away long enough to be seen away even when a sanitizer slows the unplug down.
    c.restartMs = 1500;
    SimulatedModule sim(Via::Usb, c);
    ASSERT_EQ("", sim.error);
    SimModule& m = *sim.module;
    aLinkRef id = sim.open();
    ASSERT_NE(0u, id);

    const Bytes load = {0x5F, 2};
    put(id, 2, load);
    // The reply leaves before the device goes. Taken by its bytes: a host slowed down by a
    // sanitizer may have resynced meanwhile, and the module's sync answers queue too.
    aPacket* p = nullptr;
    for (auto until = Clock::now() + std::chrono::seconds(5); !p && Clock::now() < until;) {
        aPacket* q = aLink_AwaitPacket(id, 100);
        if (!q) continue;
        Bytes image = imageOf(q);
        if (image.size() == 4 && image[2] == 0x5F && image[3] == 2)
            p = q;
        else
            aPacket_Destroy(&q);
    }
    ASSERT_NE(nullptr, p);
    EXPECT_EQ((Bytes{2, 2, 0x5F, 2}), imageOf(p));
    aPacket_Destroy(&p);
    auto away = [&] { return sim.sim.restarting(m) && !sim.sim.usbDevice(m); };
    auto back = [&] { return !sim.sim.restarting(m) && sim.sim.usbDevice(m); };
    ASSERT_TRUE(sim.sim.waitFor(away, 15000));
    EXPECT_FALSE(onUsb(kSerial));
    EXPECT_TRUE(awaitStatus(id, LINK_IO_ERROR));
    aLink_Destroy(&id);

    ASSERT_TRUE(sim.sim.waitFor(back, 15000));
    EXPECT_TRUE(onUsb(SimModule::kLoaderSerial));
    EXPECT_FALSE(onUsb(kSerial));
    id = aLink_CreateUSB(SimModule::kLoaderSerial);
    ASSERT_NE(0u, id);
    put(id, 2, {0x5F, 6}); // reboot into the (empty) new image
    ASSERT_TRUE(sim.sim.waitFor(away, 15000));
    ASSERT_TRUE(sim.sim.waitFor(back, 15000));
    aLink_Destroy(&id);
    EXPECT_TRUE(onUsb(kSerial));
    EXPECT_FALSE(onUsb(SimModule::kLoaderSerial));
    id = aLink_CreateUSB(kSerial);
    ASSERT_NE(0u, id);
    EXPECT_EQ(echoImage({1}), echo(id, {1}));
    aLink_Destroy(&id);
}

// Two modules on USB: found by serial number, by model with serial number 0, and by
// the fallback's second attempt when the first road finds nothing.
TEST(SimLinkDiscovery, DiscoverAndConnectOverUsb) {
    Simulator sim;
    SimModuleConfig a = config(), b = config();
    b.serial = 0x0BADCAFE;
    b.model = 5;
    b.address = 4;
    sim.attachUsb(sim.add(a));
    sim.attachUsb(sim.add(b));
    Corvane_libusb_exit();
    ASSERT_EQ("", sim.start());
    struct Case {
        const char* name;
        linkType type;
        uint32_t serial;
        uint8_t model, fallback;
        aErr result;
        uint32_t connected;
        uint8_t address;
    };
    const Case cases[] = {
        {"by serial", USB, 0x0BADCAFE, 0, 1, aErrNone, 0x0BADCAFE, 4},
        {"by model 5", USB, 0, 5, 1, aErrNone, 0x0BADCAFE, 4},
        {"by model 19", USB, 0, 19, 1, aErrNone, kSerial, 2},
        {"no such model", USB, 0, 7, 1, aErrNotFound, 0, 0},
        {"absent serial, fallback finds nothing", USB, 0x12345678, 0, 1, aErrNotFound, 0, 0},
        {"link server first, then USB", ALOOM, kSerial, 0, 1, aErrNone, kSerial, 2},
        {"link server only", ALOOM, kSerial, 0, 0, aErrNotFound, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Link link("Link");
        aLoomConfig cfg;
        cfg.fallback = c.fallback;
        ASSERT_EQ(aErrNone, link.setConfig(cfg));
        EXPECT_EQ(c.result, link.discoverAndConnect(c.type, c.serial, c.model));
        EXPECT_EQ(c.result == aErrNone, link.isConnected());
        if (!link.isConnected()) continue;
        linkSpec spec;
        ASSERT_EQ(aErrNone, link.getLinkSpecifier(&spec));
        EXPECT_EQ(uint32_t(USB), spec.type);
        EXPECT_EQ(c.connected, spec.serialNumber);
        uint8_t address = 0;
        EXPECT_EQ(aErrNone, link.getModuleAddress(&address));
        EXPECT_EQ(c.address, address);
        link.disconnect();
    }
    Corvane_libusb_exit();
}

// The same over TCP/IP: the simulator answers discovery in its own namespace, the tool
// searches from the other end of the veth pair.
TEST(SimLinkDiscovery, DiscoverAndConnectOverTcpInAPrivateNetwork) {
    testsupport::NamespacePair net;
    if (!net.error.empty()) GTEST_SKIP() << "no private network namespace: " << net.error;
    Simulator sim;
    SimModuleConfig a = config(), b = config();
    b.serial = 0x0BADCAFE;
    b.model = 5;
    b.address = 4;
    SimModule& ma = sim.add(a);
    SimModule& mb = sim.add(b);
    sim.listenTcp(ma, testsupport::kModuleAddress, 0);
    sim.listenTcp(mb, testsupport::kModuleAddress, 0);
    sim.setDiscovery(testsupport::kModuleAddress);
    ASSERT_EQ("", net.inModules([&] { return sim.start(); }));
    struct Case {
        uint32_t serial;
        uint8_t model;
        aErr result;
        uint8_t address;
    };
    for (Case c : {Case{0x0BADCAFE, 0, aErrNone, 4}, Case{0, 19, aErrNone, 2},
                   Case{0x12345678, 0, aErrNotFound, 0}}) {
        SCOPED_TRACE(testing::Message() << std::hex << c.serial << " model " << int(c.model));
        aLoomConfig cfg;
        cfg.fallback = 0;
        uint8_t address = 0;
        std::optional<aErr> result = net.inTool([&]() -> std::optional<aErr> {
            Link link("Link");
            link.setConfig(cfg);
            aErr err = link.discoverAndConnect(TCPIP, c.serial, c.model);
            if (err == aErrNone) err = link.getModuleAddress(&address);
            link.disconnect();
            return err;
        });
        ASSERT_TRUE(result.has_value()) << "cannot enter the tool's namespace";
        EXPECT_EQ(c.result, *result);
        EXPECT_EQ(c.address, address);
        // The next search starts once the module has seen this host go.
        EXPECT_TRUE(sim.waitFor(
            [&] { return !sim.tcpHostConnected(ma) && !sim.tcpHostConnected(mb); }, 5000));
    }
    sim.stop();
}

} // namespace
