// The Link object against a scripted module: connection, UEI exchanges, packet log
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "Link.h"
#include "LocklessQueue_SPSC.h"
#include "ScriptedModule.h"
#include "TestSupport.h"
#include "aLink.h"
#include "aTime.h"

using namespace Pelmora::Corvane;
using testsupport::Bytes;
using testsupport::ScriptedModule;

namespace {

using Transport = ScriptedModule::Transport;
constexpr uint32_t kSerial = 0x40F5849A;

linkSpec specFor(const ScriptedModule& m, Transport t) {
    linkSpec s = {};
    s.serialNumber = m.serial();
    if (t == Transport::Tcp) {
        s.type = TCPIP;
        s.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
        s.t.ip.ipPort = m.port();
    } else {
        s.type = SERIAL;
        s.t.serial.baudRate = 115200;
        strncpy(s.t.serial.portName, m.ptyPath().c_str(), sizeof s.t.serial.portName - 1);
    }
    return s;
}

uei request(uint8_t option, uint32_t type) {
    uei u;
    u.module = 4;
    u.command = 3;
    u.option = option;
    u.specifier = 0x20;
    u.type = type;
    return u;
}

class LinkObject : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(aErrNone, link.connect()); }

    // The images the module received after the force route and before marker.
    std::vector<Bytes> sentUntilMarker() {
        link.sendPacket(4, 0x7E, 0, nullptr);
        EXPECT_TRUE(module.awaitCount({4, 1, 0x7E}, 1));
        std::vector<Bytes> got = module.received();
        module.clearReceived();
        std::vector<Bytes> before;
        for (const Bytes& b : got) {
            if (b == Bytes{4, 1, 0x7E}) break;
            if (b[0] != 0xAF) before.push_back(b);
        }
        return before;
    }

    ScriptedModule module{Transport::Tcp};
    Link link{specFor(module, Transport::Tcp), "Link"};
};

TEST_F(LinkObject, EncodesUEIRequests) {
    uint8_t payload[50];
    for (int i = 0; i < 50; i++)
        payload[i] = uint8_t(i + 1);
    auto bytes = [&](size_t n) {
        uei u = request(0x88, ueiTypeBytes);
        u.v.bytes = payload;
        u.length = n;
        return u;
    };
    auto with = [](uei u, auto set) {
        set(u);
        return u;
    };
    Bytes chunk1 = {4, 28, 3, 0x88, 0x20}, chunk2 = chunk1;
    chunk1.insert(chunk1.end(), payload, payload + 24);
    chunk1.push_back(0x80);
    chunk2.insert(chunk2.end(), payload + 24, payload + 48);
    chunk2.push_back(0x81);
    struct Case {
        const char* name;
        uei u;
        int subindex; // -1: the plain form
        aErr result;
        std::vector<Bytes> sent;
    };
    const std::vector<Case> cases = {
        {"none", request(0x48, ueiTypeNone), -1, aErrNone, {{4, 3, 3, 0x48, 0x20}}},
        {"byte",
         with(request(0x88, ueiTypeByte), [](uei& u) { u.v.byteVal = 0x7F; }),
         -1,
         aErrNone,
         {{4, 4, 3, 0x88, 0x20, 0x7F}}},
        {"short",
         with(request(0x88, ueiTypeShort), [](uei& u) { u.v.shortVal = 0x1234; }),
         -1,
         aErrNone,
         {{4, 5, 3, 0x88, 0x20, 0x12, 0x34}}},
        {"int",
         with(request(0x88, ueiTypeInt), [](uei& u) { u.v.intVal = 0x12345678; }),
         -1,
         aErrNone,
         {{4, 7, 3, 0x88, 0x20, 0x12, 0x34, 0x56, 0x78}}},
        {"50 bytes",
         bytes(50),
         -1,
         aErrNone,
         {chunk1, chunk2, {4, 6, 3, 0x88, 0x20, 49, 50, 0x02}}},
        {"empty bytes", bytes(0), -1, aErrNone, {{4, 4, 3, 0x88, 0x20, 0x00}}},
        {"unknown type 3", request(0x88, 3), -1, aErrParam, {}},
        {"none, subindex", request(0x48, ueiTypeNone), 9, aErrNone, {{4, 4, 3, 0x48, 0x20, 9}}},
        {"int, subindex",
         with(request(0x88, ueiTypeInt), [](uei& u) { u.v.intVal = 0xA1B2C3D4; }),
         9,
         aErrNone,
         {{4, 8, 3, 0x88, 0x20, 9, 0xA1, 0xB2, 0xC3, 0xD4}}},
        {"bytes, subindex", bytes(5), 9, aErrParam, {}},
        {"odd module", with(request(0x48, 0), [](uei& u) { u.module = 5; }), -1, aErrPacket, {}},
    };
    sentUntilMarker();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result,
                  c.subindex < 0 ? link.sendUEI(c.u) : link.sendUEI(c.u, uint8_t(c.subindex)));
        EXPECT_EQ(c.sent, sentUntilMarker());
    }
}

TEST_F(LinkObject, SendPacketTakesAtMost27BytesAfterTheCommand) {
    uint8_t data[28] = {};
    sentUntilMarker();
    EXPECT_EQ(aErrNone, link.sendPacket(4, 0x10, 27, data));
    std::vector<Bytes> sent = sentUntilMarker();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(28, sent[0][1]);
    EXPECT_EQ(aErrParam, link.sendPacket(4, 0x10, 28, data));
    EXPECT_TRUE(sentUntilMarker().empty());
}

TEST_F(LinkObject, DecodesReplies) {
    struct Case {
        uint8_t option;
        Bytes value;
        uint32_t type, decoded;
    };
    const std::vector<Case> cases = {
        {1, {}, ueiTypeNone, 0},
        {2, {0x13}, ueiTypeByte, 0x13},
        {3, {0xBE, 0xEF}, ueiTypeShort, 0xBEEF},
        {4, {0xDE, 0xAD, 0xBE, 0xEF}, ueiTypeInt, 0xDEADBEEF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.option));
        module.setValue(3, c.option, 0, c.value);
        ASSERT_EQ(aErrNone, link.sendUEI(request(uint8_t(c.option | 0x40), ueiTypeNone)));
        uei reply;
        reply.type = 99;
        ASSERT_EQ(aErrNone, link.receiveUEI(4, 3, c.option, 0, &reply));
        EXPECT_EQ(c.type, reply.type);
        uint32_t got = c.type == ueiTypeByte    ? reply.v.byteVal
                       : c.type == ueiTypeShort ? reply.v.shortVal
                       : c.type == ueiTypeInt   ? reply.v.intVal
                                                : 0;
        EXPECT_EQ(c.decoded, got);
        EXPECT_EQ(0, reply.specifier & 0x80);
    }
    // An option the module lacks: an error reply carrying its code.
    ASSERT_EQ(aErrNone, link.sendUEI(request(0x49, ueiTypeNone)));
    uei reply;
    ASSERT_EQ(aErrNone, link.receiveUEI(4, 3, 9, 0, &reply));
    EXPECT_EQ(0x80, reply.specifier & 0x80);
    EXPECT_EQ(aErrInvalidOption, reply.v.byteVal);
}

TEST_F(LinkObject, ReplyFilterTakesOnlyTheMatchingReply) {
    const std::vector<std::pair<uint8_t, Bytes>> others = {
        {4, {3, 0x48, 0, 1}}, // option differs in bit 6 only
        {6, {3, 8, 0, 2}},    // another module
        {4, {3, 8, 1, 3}},    // another index
        {4, {4, 8, 0, 4}},    // another command
        {4, {3, 8}},          // too short
    };
    for (const auto& [address, data] : others)
        module.sendPacket(address, data);
    module.sendPacket(4, {3, 8, 0, 0x55});
    uei reply;
    ASSERT_EQ(aErrNone, link.receiveUEI(4, 3, 8, 0, &reply));
    EXPECT_EQ(0x55, reply.v.byteVal);

    // The replies that did not match stay queued; dropping takes only matching ones.
    module.sendPacket(4, {3, 8, 0, 0x66});
    module.sendPacket(4, {3, 8, 0, 0x67});
    module.sendPacket(4, {0x7D});
    uint8_t length = 1, data[28];
    const uint8_t marker = 0x7D;
    ASSERT_EQ(aErrNone, link.receivePacket(4, &marker, &length, data));
    EXPECT_EQ(aErrNone, link.dropMatchingUEIPackets(4, 3, 8, 0));
    EXPECT_EQ(aErrTimeout, link.receiveUEI(4, 3, 8, 0, &reply));
    for (const auto& [address, other] : others) {
        length = uint8_t(other.size());
        EXPECT_EQ(aErrNone, link.receivePacket(4, other.data(), &length, data)) << int(address);
    }
}

TEST_F(LinkObject, ReceiveWaitsLongerOnlyForLongByteValues) {
    module.setValue(3, 5, 0, {0x42});
    module.setReplyDelay(2500); // beyond the short wait, well within the long one
    struct Case {
        size_t length;
        aErr result;
    };
    for (Case c : {Case{1001, aErrNone}, Case{1000, aErrTimeout}}) {
        SCOPED_TRACE(c.length);
        ASSERT_EQ(aErrNone, link.sendUEI(request(0x45, ueiTypeNone)));
        uei reply;
        reply.type = ueiTypeBytes;
        reply.length = c.length;
        EXPECT_EQ(c.result, link.receiveUEI(4, 3, 5, 0, &reply));
    }
}

TEST_F(LinkObject, ReceivePacketMatchesLeadingDataBytes) {
    module.sendPacket(6, {0x49, 0x01});
    module.sendPacket(6, {0x49, 0xFF, 0, 0, 0x30, 0x39});
    const uint8_t match[2] = {0x49, 0xFF};
    uint8_t length = 2, data[28] = {};
    // The module address is not compared: any even one asks.
    ASSERT_EQ(aErrNone, link.receivePacket(4, match, &length, data));
    EXPECT_EQ(6, length);
    EXPECT_EQ((Bytes{0x49, 0xFF, 0, 0, 0x30, 0x39}), Bytes(data, data + length));
    length = 2;
    EXPECT_EQ(aErrTimeout, link.receivePacket(4, match, &length, data));
}

TEST_F(LinkObject, AsksTheModuleForItsAddress) {
    uint8_t address = 0xFF;
    EXPECT_EQ(aErrNone, link.getModuleAddress(&address));
    EXPECT_EQ(4, address);
    module.answerMagic(false);
    EXPECT_EQ(aErrNotReady, link.getModuleAddress(&address));
    EXPECT_EQ(0, address);
}

TEST_F(LinkObject, ConfigurationAndSpecifierStayWhileConnected) {
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(aErrConnection, link.connect());
    aLoomConfig changed;
    changed.fallback = 0;
    EXPECT_EQ(aErrMode, link.setConfig(changed));
    aLoomConfig now;
    ASSERT_EQ(aErrNone, link.getConfig(&now));
    EXPECT_EQ(1, now.fallback);
    EXPECT_EQ(aErrBusy, link.setLinkSpecifier(linkSpec{}));
    EXPECT_EQ(aErrParam, link.getConfig(nullptr));

    EXPECT_EQ(aErrNone, link.disconnect());
    EXPECT_EQ(8, link.getStatus());
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(aErrNone, link.setConfig(changed));
    ASSERT_EQ(aErrNone, link.getConfig(&now));
    EXPECT_EQ(0, now.fallback);
    EXPECT_EQ(aErrConnection, link.sendPacket(4, 1, 0, nullptr));
    EXPECT_EQ(aErrConfiguration, link.enablePacketLog("/dev/null"));
}

TEST_F(LinkObject, RouterLinkIsShared) {
    Link routed("Link");
    ASSERT_EQ(aErrNone, routed.setLinkSpecifier(specFor(module, Transport::Tcp)));
    ASSERT_EQ(aErrNone, routed.connectThroughLinkModule(link));
    EXPECT_TRUE(routed.isConnected());
    EXPECT_EQ(aErrNone, routed.disconnect());
    EXPECT_TRUE(link.isConnected());
    Link lonely("Link");
    EXPECT_EQ(aErrInitialization, lonely.connectThroughLinkModule(routed));
}

TEST_F(LinkObject, WritesPacketLogLines) {
    testsupport::TempDir dir;
    const std::string path = dir.file("packets.log");
    ASSERT_EQ(aErrNone, link.enablePacketLog(path.c_str()));
    const uint8_t ab = 0xAB;
    link.sendPacket(4, 0x10, 1, &ab);
    module.sendPacket(4, {0x11});
    const std::vector<std::string> lines = {std::string("6 < START") + '\0' + "\r\n",
                                            "4 > 0x4 0x2 0x10 0xAB \r\n", "3 < 0x4 0x1 0x11 \r\n"};
    std::string text;
    for (int i = 0; i < 500; i++) {
        text = testsupport::ReadFile(path);
        bool all = true;
        for (const std::string& l : lines)
            all = all && text.find(l) != std::string::npos;
        if (all) break;
        aTime_MSSleep(10);
    }
    EXPECT_EQ(aErrNone, link.disablePacketLog());
    for (const std::string& l : lines)
        EXPECT_NE(std::string::npos, text.find(l)) << l;
}

TEST_F(LinkObject, StreamValuesReachTheCacheAndTheCallback) {
    uint32_t value = 0;
    EXPECT_EQ(aErrNotFound, link.getStreamValue(4, 0x10, 2, 1, 0, &value));
    std::promise<Bytes> delivered;
    auto callback = [&](const aPacket* p, void*) {
        delivered.set_value(Bytes(p->data, p->data + p->dataSize));
        return uint8_t(0);
    };
    ASSERT_EQ(aErrNone, link.registerStreamCallback(Link::createStreamKey(4, 0x10, 2, 1, 0),
                                                    callback, nullptr));
    ASSERT_EQ(aErrNone, link.installStreamFilter(true));
    const Bytes sample = {0x10, 0x02, 0x41, 1, 0, 0, 0, 0, 0, 0, 0, 7, 0x5A, 0};
    module.sendPacket(4, sample);
    auto got = delivered.get_future();
    ASSERT_EQ(std::future_status::ready, got.wait_for(std::chrono::seconds(5)));
    EXPECT_EQ(sample, got.get());
    EXPECT_EQ(aErrNone, link.getStreamValue(4, 0x10, 2, 1, 0, &value));
    EXPECT_EQ(0x5Au, value);
    EXPECT_EQ(aErrStreamStale, link.getStreamValue(4, 0x10, 2, 1, 0, &value));
    // A stream packet nobody registered goes to the queue like any other.
    Bytes other = sample;
    other[0] = 0x12;
    module.sendPacket(4, other);
    uint8_t length = 1, data[28];
    EXPECT_EQ(aErrNone, link.receivePacket(4, other.data(), &length, data));

    EXPECT_EQ(aErrNone, link.installStreamFilter(false));
    EXPECT_EQ(aErrNotFound, link.getStreamValue(4, 0x10, 2, 1, 0, &value));
}

TEST(LinkConnect, SerialLinkExchangesUEIs) {
    ScriptedModule module(Transport::Serial);
    Link link(specFor(module, Transport::Serial), "Link");
    ASSERT_EQ(aErrNone, link.connect());
    module.setValue(3, 8, 0, {0, 0, 0x12, 0x34});
    ASSERT_EQ(aErrNone, link.sendUEI(request(0x48, ueiTypeNone)));
    uei reply;
    ASSERT_EQ(aErrNone, link.receiveUEI(4, 3, 8, 0, &reply));
    EXPECT_EQ(0x1234u, reply.v.intVal);
    uint8_t address = 0;
    EXPECT_EQ(aErrNone, link.getModuleAddress(&address));
    EXPECT_EQ(4, address);
}

TEST(LinkConnect, RefusesWhatItCannotConnect) {
    struct Case {
        const char* name;
        uint32_t type;
        uint8_t enabled;
        aErr result;
    };
    const std::vector<Case> cases = {
        {"invalid type", INVALID, 1, aErrMode},
        {"type above 7", 8, 1, aErrMode},
        {"link server, sharing off", ALOOM_TCPIP, 0, aErrConfiguration},
        {"link server, none here", ALOOM, 1, aErrConnection},
        {"TCP/IP, refused", TCPIP, 1, aErrConnection},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        linkSpec s = {};
        s.type = c.type;
        s.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
        s.t.ip.ipPort = 1;
        Link link(s, "Link");
        aLoomConfig config;
        config.enabled = c.enabled;
        ASSERT_EQ(aErrNone, link.setConfig(config));
        EXPECT_EQ(c.result, link.connect());
    }
    Link bare("Link");
    linkSpec out;
    EXPECT_EQ(aErrConfiguration, bare.connect());
    EXPECT_EQ(aErrNotFound, bare.getLinkSpecifier(&out));
    EXPECT_STREQ("Link", bare.getName());
}

TEST(LinkConnect, DiscoverAndConnectFallsBackOnlyWhenAllowed) {
    struct Rule {
        linkType type;
        aErr result;
        uint8_t fallback;
        linkType alternate;
    };
    const std::vector<Rule> rules = {
        {USB, aErrNotFound, 1, ALOOM},           {TCPIP, aErrConnection, 1, ALOOM},
        {ALOOM_USB, aErrInitialization, 1, USB}, {ALOOM, aErrNotFound, 1, USB},
        {USB, aErrNotFound, 0, INVALID},         {USB, aErrTimeout, 1, INVALID},
        {SERIAL, aErrNotFound, 1, INVALID},      {TCPIP, aErrNone, 1, INVALID},
    };
    for (const Rule& r : rules) {
        aLoomConfig config;
        config.fallback = r.fallback;
        EXPECT_EQ(r.alternate, Link::fallbackType(r.type, r.result, config))
            << r.type << " " << r.result << " " << int(r.fallback);
    }
    // No module is found on either road in this build.
    for (uint8_t fallback : {1, 0}) {
        Link link("Link");
        aLoomConfig config;
        config.fallback = fallback;
        link.setConfig(config);
        EXPECT_EQ(aErrNotFound, link.discoverAndConnect(USB, kSerial, 0));
        EXPECT_EQ(aErrNotFound, link.discoverAndConnect(TCPIP, 0, 0x13));
    }
}

TEST(LocklessQueue, HoldsOneLessThanItsSlotsAndKeepsOrderAcrossTheWrap) {
    Pelmora::LocklessQueue_SPSC<int> q(500);
    int out = 0;
    EXPECT_FALSE(q.pop(out));
    for (int round = 0; round < 3; round++) {
        for (int i = 0; i < 499; i++)
            ASSERT_TRUE(q.push(round * 1000 + i));
        EXPECT_FALSE(q.push(-1));
        for (int i = 0; i < 499; i++) {
            ASSERT_TRUE(q.pop(out));
            ASSERT_EQ(round * 1000 + i, out);
        }
        EXPECT_FALSE(q.pop(out));
        // Shift the indices so the next round wraps at a different slot.
        q.push(0);
        q.pop(out);
    }
}

TEST(LocklessQueue, HandsItemsFromOneThreadToAnother) {
    Pelmora::LocklessQueue_SPSC<uint32_t> q(64);
    constexpr uint32_t kItems = 100000;
    std::thread producer([&] {
        for (uint32_t i = 0; i < kItems;)
            if (q.push(i))
                i++;
            else
                std::this_thread::yield();
    });
    uint32_t expected = 0, item = 0;
    while (expected < kItems) {
        if (!q.pop(item)) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(expected, item);
        expected++;
    }
    producer.join();
}

} // namespace
