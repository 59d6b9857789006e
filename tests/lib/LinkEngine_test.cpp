// The link engine against a scripted module over TCP loopback and a COBS-framed pty
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "ScriptedModule.h"
#include "aLink.h"
#include "aPacketDebug.h"
#include "aTime.h"

using testsupport::Bytes;
using testsupport::ScriptedModule;

namespace {

using Clock = std::chrono::steady_clock;
using Transport = ScriptedModule::Transport;

const Bytes kForceRouteOn = {0xAF, 1, 1};
const Bytes kForceRouteOff = {0xAF, 1, 0};
const Bytes kMagic = {0xAD, 0};

aLinkRef open(const ScriptedModule& m, Transport t) {
    if (t == Transport::Tcp) return aLink_CreateTCPIP(m.serial(), htonl(INADDR_LOOPBACK), m.port());
    return aLink_CreateSerial(m.serial(), m.ptyPath().c_str(), 115200);
}

bool awaitStatus(aLinkRef id, int status, int timeoutMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (aLink_GetStatus(id) != status) {
        if (Clock::now() > deadline) return false;
        aTime_MSSleep(1);
    }
    return true;
}

aPacket* packet(uint8_t address, const Bytes& data) {
    return aPacket_CreateWithData(address, uint8_t(data.size()), data.data());
}

void put(aLinkRef id, uint8_t address, const Bytes& data) {
    aPacket* p = packet(address, data);
    ASSERT_EQ(aErrNone, aLink_PutPacket(id, p));
    aPacket_Destroy(&p);
}

Bytes imageOf(const aPacket* p) {
    Bytes b(p->data, p->data + p->dataSize);
    b.insert(b.begin(), {p->address, p->dataSize});
    return b;
}

// Handshake bytes, pairs of an address and 0, as the link's reader will see them: bare
// on TCP; on the pty only whole frames pass, so each pair goes as a zero-length image.
void sendSyncBytes(ScriptedModule& m, Transport t, const Bytes& pairs) {
    if (t == Transport::Tcp) return m.sendRaw(pairs);
    for (size_t i = 0; i < pairs.size(); i += 2)
        m.sendPacket(pairs[i], {});
}

class LinkEngine : public ::testing::TestWithParam<Transport> {
  protected:
    ScriptedModule module{GetParam()};
};

std::string transportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::Tcp ? "Tcp" : "SerialCobs";
}

TEST_P(LinkEngine, StartsWithForceRouteOnAndSendsOffBeforeItEnds) {
    aLinkRef id = open(module, GetParam());
    ASSERT_NE(0u, id);
    EXPECT_EQ(LINK_RUNNING, aLink_GetStatus(id));
    EXPECT_TRUE(module.awaitCount(kForceRouteOn, 1));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
    EXPECT_EQ(0u, id);
    EXPECT_TRUE(module.awaitCount(kForceRouteOff, 1));
}

TEST_P(LinkEngine, SharesTheLinkAndCountsItsUsers) {
    aLinkRef first = open(module, GetParam());
    aLinkRef second = open(module, GetParam());
    ASSERT_NE(0u, first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(2, aLink_GetUseCount(first));

    EXPECT_EQ(aErrNone, aLink_Destroy(&second));
    EXPECT_EQ(LINK_RUNNING, aLink_GetStatus(first));
    put(first, 4, {3, 0x48, 0x20});
    EXPECT_TRUE(module.awaitCount({4, 3, 3, 0x48, 0x20}, 1));
    EXPECT_EQ(0u, module.count(kForceRouteOff));

    aLinkRef kept = first;
    EXPECT_EQ(aErrNone, aLink_Destroy(&first));
    EXPECT_EQ(0, aLink_GetUseCount(kept));
    EXPECT_EQ(LINK_NO_STREAM, aLink_GetStatus(kept));
    EXPECT_TRUE(module.awaitCount(kForceRouteOff, 1));
}

// 4, 0, 6 must not complete the handshake: the link asks again, and only a true
// A, 0, A, 0 brings it back. Meanwhile nobody waits on it for replies.
TEST_P(LinkEngine, HandshakeNeedsTheSameEvenAddressTwice) {
    aLinkRef id = open(module, GetParam());
    ASSERT_NE(0u, id);
    module.answerMagic(false);
    module.clearReceived();
    auto sync = std::async(std::launch::async, [id] { return aLink_Sync(id); });

    ASSERT_TRUE(module.awaitCount(kMagic, 6));
    sendSyncBytes(module, GetParam(), {4, 0, 6, 0});
    ASSERT_TRUE(module.awaitCount(kMagic, 12));
    EXPECT_EQ(LINK_SYNCING, aLink_GetStatus(id));

    auto before = Clock::now();
    EXPECT_EQ(nullptr, aLink_AwaitFirst(
                           id, [](const aPacket*, void*) { return true; }, nullptr, 60000));
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(30)); // returned without waiting

    sendSyncBytes(module, GetParam(), {4, 0, 4, 0});
    EXPECT_EQ(aErrNone, sync.get());
    EXPECT_EQ(LINK_RUNNING, aLink_GetStatus(id));
    aLink_Destroy(&id);
}

TEST_P(LinkEngine, OddAddressRestartsTheHandshake) {
    aLinkRef id = open(module, GetParam());
    ASSERT_NE(0u, id);
    module.answerMagic(false);
    module.clearReceived();
    sendSyncBytes(module, GetParam(), {5, 0});
    ASSERT_TRUE(module.awaitCount(kMagic, 6));
    EXPECT_EQ(LINK_SYNCING, aLink_GetStatus(id));

    module.answerMagic(true);
    EXPECT_TRUE(awaitStatus(id, LINK_RUNNING));
    // An explicit sync leaves none of the surplus address replies behind.
    EXPECT_EQ(aErrNone, aLink_Sync(id));
    EXPECT_EQ(nullptr, aLink_GetPacket(id));
    aLink_Destroy(&id);
}

TEST_P(LinkEngine, AnswersHeartbeatsAndNeverQueuesThem) {
    aLinkRef id = open(module, GetParam());
    ASSERT_NE(0u, id);
    struct Case {
        uint8_t value, answer;
    };
    for (Case c : {Case{0, 2}, Case{1, 3}}) {
        SCOPED_TRACE(int(c.value));
        module.sendPacket(4, {0, c.value});
        module.sendPacket(4, {3, 1, 2, 3});
        EXPECT_TRUE(module.awaitCount({4, 2, 0, c.answer}, 1));
        aPacket* p = aLink_AwaitPacket(id, 5000);
        ASSERT_NE(nullptr, p);
        EXPECT_EQ((Bytes{4, 4, 3, 1, 2, 3}), imageOf(p));
        aPacket_Destroy(&p);
        EXPECT_EQ(nullptr, aLink_GetPacket(id));
    }
    aLink_Destroy(&id);
}

TEST_P(LinkEngine, UserFilterTakesPacketsBeforeTheQueue) {
    aLinkRef id = open(module, GetParam());
    ASSERT_NE(0u, id);
    struct Seen {
        std::mutex m;
        std::condition_variable cv;
        std::vector<Bytes> taken;
    } seen;
    auto filter = [](const aPacket* p, void* ref) {
        if (p->dataSize == 0 || p->data[0] != 0x20) return false;
        auto* s = static_cast<Seen*>(ref);
        std::lock_guard<std::mutex> g(s->m);
        s->taken.push_back(imageOf(p));
        s->cv.notify_all();
        return true;
    };
    ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(id, filter, &seen));
    module.sendPacket(4, {0x20, 7});
    module.sendPacket(4, {0x21, 8});
    aPacket* p = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ((Bytes{4, 2, 0x21, 8}), imageOf(p));
    aPacket_Destroy(&p);
    {
        std::unique_lock<std::mutex> g(seen.m);
        EXPECT_TRUE(
            seen.cv.wait_for(g, std::chrono::seconds(5), [&] { return !seen.taken.empty(); }));
        EXPECT_EQ((Bytes{4, 2, 0x20, 7}), seen.taken.at(0));
    }

    ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(id, nullptr, nullptr));
    module.sendPacket(4, {0x20, 9});
    p = aLink_AwaitPacket(id, 5000);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ((Bytes{4, 2, 0x20, 9}), imageOf(p));
    aPacket_Destroy(&p);
    aLink_Destroy(&id);
}

TEST_P(LinkEngine, PacketLogRecordsBothDirectionsAndText) {
    aLinkRef id = open(module, GetParam());
    ASSERT_NE(0u, id);
    // The start's force route is sent before the log exists.
    ASSERT_TRUE(module.awaitCount(kForceRouteOn, 1));
    uint8_t direction = 0, buffer[64];
    size_t length = sizeof buffer;
    EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Read(id, &direction, &length, buffer));
    EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Disable(id));
    EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, 1, buffer));
    EXPECT_EQ(aErrParam, aLink_PacketDebug_SetLogSize(id, aPACKETLOG_MAX_SIZE + 1));
    EXPECT_EQ(aErrNone, aLink_PacketDebug_SetLogSize(id, 256));
    ASSERT_EQ(aErrNone, aLink_PacketDebug_Enable(id));
    EXPECT_EQ(aErrBusy, aLink_PacketDebug_SetLogSize(id, 512));

    put(id, 4, {1, 2});
    ASSERT_TRUE(module.awaitCount({4, 2, 1, 2}, 1));
    module.sendPacket(4, {9});
    aPacket* p = aLink_AwaitPacket(id, 5000);
    aPacket_Destroy(&p);
    EXPECT_EQ(aErrNone, aLink_PacketDebug_Write(id, aPACKETLOG_TEXT, 6,
                                                reinterpret_cast<const uint8_t*>("START")));

    struct Record {
        uint8_t direction;
        Bytes bytes;
    };
    std::vector<Record> expected = {{aPACKETLOG_OUT, {4, 2, 1, 2}},
                                    {aPACKETLOG_IN, {4, 1, 9}},
                                    {aPACKETLOG_TEXT, {'S', 'T', 'A', 'R', 'T', 0}}};
    for (const Record& r : expected) {
        length = sizeof buffer;
        ASSERT_EQ(aErrNone, aLink_PacketDebug_Read(id, &direction, &length, buffer));
        EXPECT_EQ(r.direction, direction);
        EXPECT_EQ(r.bytes, Bytes(buffer, buffer + length));
    }
    length = sizeof buffer;
    EXPECT_EQ(aErrNotFound, aLink_PacketDebug_Read(id, &direction, &length, buffer));
    EXPECT_EQ(aErrNone, aLink_PacketDebug_Disable(id));
    aLink_Destroy(&id);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkEngine,
                         ::testing::Values(Transport::Tcp, Transport::Serial), transportName);

TEST(LinkEngineTcp, ResetReconnectsAndStartsAfresh) {
    ScriptedModule module(Transport::Tcp);
    aLinkRef id = open(module, Transport::Tcp);
    ASSERT_NE(0u, id);
    ASSERT_EQ(aErrNone, aLink_PacketDebug_Enable(id));
    ASSERT_EQ(aErrNone, aLink_InstallUserPacketFilter(
                            id, [](const aPacket*, void*) { return true; }, nullptr));

    EXPECT_EQ(aErrNone, aLink_Reset(id));
    EXPECT_EQ(LINK_RUNNING, aLink_GetStatus(id));
    EXPECT_TRUE(module.awaitCount(kForceRouteOn, 2));
    EXPECT_EQ(2, module.connections());
    // The log and the filter went with the old stream.
    uint8_t direction, buffer[64];
    size_t length = sizeof buffer;
    EXPECT_EQ(aErrNotReady, aLink_PacketDebug_Read(id, &direction, &length, buffer));
    module.sendPacket(4, {3, 1});
    aPacket* p = aLink_AwaitPacket(id, 5000);
    EXPECT_NE(nullptr, p);
    aPacket_Destroy(&p);
    aLink_Destroy(&id);
}

// A module that goes away for good must not leave the link looking connected.
TEST(LinkEngineTcp, PeerGoneLeavesRunning) {
    ScriptedModule module(Transport::Tcp);
    aLinkRef id = open(module, Transport::Tcp);
    ASSERT_NE(0u, id);
    module.goAway();
    EXPECT_TRUE(awaitStatus(id, LINK_IO_ERROR));
    aLink_Destroy(&id);
}

TEST(LinkEngineSerial, ResetCannotRemakeASerialStream) {
    ScriptedModule module(Transport::Serial);
    aLinkRef id = open(module, Transport::Serial);
    ASSERT_NE(0u, id);
    EXPECT_EQ(aErrParam, aLink_Reset(id));
    EXPECT_EQ(LINK_STOPPED, aLink_GetStatus(id));
    EXPECT_EQ(aErrNone, aLink_Destroy(&id));
}

TEST(LinkEngineCreate, FailedCreationsLeaveNoEntry) {
    ScriptedModule module(Transport::Serial);
    const std::string pty = module.ptyPath();
    const uint32_t kOther = module.serial() + 0x1000; // not linked yet, so nothing is shared
    struct Case {
        const char* name;
        std::function<aLinkRef()> create;
    };
    const std::vector<Case> cases = {
        {"baud 1200", [&] { return aLink_CreateSerial(kOther, pty.c_str(), 1200); }},
        {"baud 115201", [&] { return aLink_CreateSerial(kOther, pty.c_str(), 115201); }},
        {"no such port", [&] { return aLink_CreateSerial(kOther, "/dev/no-such-port", 9600); }},
        {"refused TCP", [&] { return aLink_CreateTCPIP(kOther, htonl(INADDR_LOOPBACK), 1); }},
        {"USB module absent", [&] { return aLink_CreateUSB(kOther); }},
        {"link-server client", [] { return aLink_CreateClient(htonl(INADDR_LOOPBACK), 1, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        aLinkRef before = open(module, Transport::Serial);
        EXPECT_EQ(0u, c.create());
        aLinkRef after = aLink_CreateSerial(module.serial() + 0x2000, pty.c_str(), 115200);
        ASSERT_NE(0u, after);
        for (aLinkRef id = before + 1; id < after; id++)
            EXPECT_EQ(0, aLink_GetUseCount(id)) << id;
        aLink_Destroy(&after);
        aLink_Destroy(&before);
    }
}

TEST(LinkEngineCreate, UnknownIdsAreRefused) {
    aLinkRef id = 0x7FFFFFF0;
    aPacket* p = packet(4, {1});
    auto never = [](const aPacket*, void*) { return true; };
    uint8_t direction, buffer[8];
    size_t length = sizeof buffer;
    EXPECT_EQ(aErrParam, aLink_Start(id));
    EXPECT_EQ(aErrParam, aLink_Stop(id));
    EXPECT_EQ(aErrParam, aLink_Sync(id));
    EXPECT_EQ(aErrParam, aLink_Reset(id));
    EXPECT_EQ(aErrNotFound, aLink_ForceRoute(id, true));
    EXPECT_EQ(aErrParam, aLink_PutPacket(id, p));
    EXPECT_EQ(aErrParam, aLink_InstallUserPacketFilter(id, never, nullptr));
    EXPECT_EQ(aErrParam, aLink_EnablePooledPackets(id, true));
    EXPECT_EQ(aErrParam, aLink_PacketDebug_Enable(id));
    EXPECT_EQ(aErrParam, aLink_PacketDebug_Read(id, &direction, &length, buffer));
    EXPECT_EQ(LINK_NO_STREAM, aLink_GetStatus(id));
    EXPECT_EQ(nullptr, aLink_GetPacket(id));
    EXPECT_EQ(nullptr, aLink_AwaitFirst(id, never, nullptr, 10));
    EXPECT_EQ(0u, aLink_DrainPackets(id, never, nullptr));
    EXPECT_EQ(aErrParam, aLink_Destroy(&id));
    EXPECT_EQ(0u, id);
    aPacket_Destroy(&p);
}

// A caller's stream over a socket pair whose first write is held at a gate, so that
// packets queue up behind it and the pooled writer must send them together.
struct GatedSocket {
    int fds[2] = {-1, -1};
    std::mutex m;
    std::condition_variable cv;
    bool gateOpen = false, waitingAtGate = false;
    std::vector<size_t> writes;

    GatedSocket() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds); }
    ~GatedSocket() {
        close(fds[0]);
        close(fds[1]);
    }
    static aErr get(uint8_t* byte, void* ref) {
        ssize_t n = recv(static_cast<GatedSocket*>(ref)->fds[0], byte, 1, MSG_DONTWAIT);
        return n == 1 ? aErrNone : aErrNotReady;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref) {
        auto* s = static_cast<GatedSocket*>(ref);
        {
            std::unique_lock<std::mutex> g(s->m);
            s->writes.push_back(length);
            s->waitingAtGate = true;
            s->cv.notify_all();
            s->cv.wait(g, [&] { return s->gateOpen; });
        }
        return send(s->fds[0], data, length, MSG_NOSIGNAL) == ssize_t(length) ? aErrNone : aErrIO;
    }
    static aErr put(uint8_t byte, void* ref) { return write(&byte, 1, ref); }
    static aErr wait(uint32_t timeoutMs, void* ref) {
        struct pollfd p = {static_cast<GatedSocket*>(ref)->fds[0], POLLIN, 0};
        return poll(&p, 1, int(timeoutMs)) > 0 ? aErrNone : aErrTimeout;
    }
    Bytes readPeer(size_t n) {
        Bytes got;
        while (got.size() < n) {
            struct pollfd p = {fds[1], POLLIN, 0};
            uint8_t buf[1024];
            if (poll(&p, 1, 5000) <= 0) break;
            ssize_t r = read(fds[1], buf, sizeof buf);
            if (r <= 0) break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
};

TEST(LinkEngineStream, PooledWritesSendQueuedPacketsInOneWrite) {
    GatedSocket socket;
    const aStreamProcs procs = {GatedSocket::get, GatedSocket::put, GatedSocket::write, nullptr,
                                GatedSocket::wait};
    aStreamRef stream = aStream_CreateWithProcs(&procs, &socket);
    std::thread opener([&] {
        // The start's force route is held at the gate until the packets are queued.
        std::unique_lock<std::mutex> g(socket.m);
        socket.cv.wait(g, [&] { return socket.waitingAtGate; });
    });
    aLinkRef id = aLink_Create(stream);
    ASSERT_NE(0u, id);
    opener.join();
    ASSERT_EQ(aErrNone, aLink_EnablePooledPackets(id, true));
    Bytes full(28);
    for (int i = 0; i < 20; i++) {
        full[0] = uint8_t(i);
        put(id, 4, full);
    }
    {
        std::lock_guard<std::mutex> g(socket.m);
        socket.gateOpen = true;
        socket.cv.notify_all();
    }
    Bytes got = socket.readPeer(3 + 600);
    ASSERT_EQ(603u, got.size());
    EXPECT_EQ(kForceRouteOn, Bytes(got.begin(), got.begin() + 3));
    EXPECT_EQ(19, got[3 + 19 * 30 + 2]); // the last packet's first data byte, in order

    ASSERT_EQ(aErrNone, aLink_EnablePooledPackets(id, false));
    for (int i = 0; i < 3; i++)
        put(id, 4, full);
    EXPECT_EQ(90u, socket.readPeer(90).size());
    aLink_Destroy(&id);
    EXPECT_EQ(kForceRouteOff, socket.readPeer(3));
    std::lock_guard<std::mutex> g(socket.m);
    EXPECT_EQ((std::vector<size_t>{3, 600, 30, 30, 30, 3}), socket.writes);
}

} // namespace
