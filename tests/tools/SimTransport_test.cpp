// The simulator's transports: TCP/IP ports, pseudo-terminals, discovery and the executable
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "SimBench.h"
#include "Simulator.h"
#include "TestSupport.h"
#include "aStreamSerial.h"

namespace {

// A raw TCP connection to a simulated module.
struct Conn {
    int fd = -1;
    explicit Conn(uint16_t port) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            fd = -1;
        }
    }
    ~Conn() {
        if (fd >= 0) close(fd);
    }
    // Up to n bytes, waiting at most 2 s in all; stops early at end of stream.
    Bytes read(size_t n, bool* closed = nullptr) {
        Bytes out;
        for (int i = 0; i < 40 && out.size() < n; i++) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            uint8_t b[256];
            ssize_t k = ::read(fd, b, std::min(sizeof b, n - out.size()));
            if (k <= 0) {
                if (closed) *closed = true;
                break;
            }
            out.insert(out.end(), b, b + k);
        }
        return out;
    }
    Bytes ask(const Bytes& req, size_t replyLength) {
        EXPECT_EQ(write(fd, req.data(), req.size()), ssize_t(req.size()));
        return read(replyLength);
    }
};

uint16_t PortOf(Simulator& sim, const std::string& kind = "tcp") {
    for (const auto& e : sim.endpoints())
        if (e.kind == kind) return uint16_t(std::stoi(e.where.substr(e.where.rfind(':') + 1)));
    return 0;
}

TEST(SimTransport, TcpPortTakesOneHostAndRefusesWhileBusy) {
    Simulator sim;
    SimModuleConfig c;
    c.serial = 0x40F5849A;
    SimModule& m = sim.add(c);
    sim.listenTcp(m, "127.0.0.1", 0);
    ASSERT_EQ(sim.start(), "");
    uint16_t port = PortOf(sim);
    ASSERT_NE(port, 0);
    {
        Conn host(port);
        ASSERT_GE(host.fd, 0);
        EXPECT_EQ(host.ask(H("AD 00 AD 00"), 4), H("02 00 02 00"));
        Conn second(port); // the module is taken: connected, then closed at once
        bool closed = false;
        EXPECT_EQ(second.read(1, &closed), Bytes{});
        EXPECT_TRUE(closed);
        EXPECT_EQ(host.ask(H("02 02 49 FF"), 8), H("02 06 49 FF 00 00 03 E8"));
    }
    // Once the first host left, the next one is served (the simulator notices the close
    // on its next pass; a client retries a bounded number of times).
    std::unique_ptr<Conn> next;
    for (int i = 0; i < 20 && !next; i++) {
        next = std::make_unique<Conn>(port);
        if (next->ask(H("AD 00"), 2) != H("02 00")) next.reset();
    }
    EXPECT_TRUE(next);
}

TEST(SimTransport, BusyModuleRefusesEveryConnection) {
    Simulator sim;
    SimModuleConfig c;
    c.faults.busy = true;
    SimModule& m = sim.add(c);
    sim.listenTcp(m, "127.0.0.1", 0);
    ASSERT_EQ(sim.start(), "");
    Conn held(PortOf(sim));
    bool closed = false;
    EXPECT_EQ(held.read(1, &closed), Bytes{});
    EXPECT_TRUE(closed) << "a module held by another program refuses the connection";
    sim.with([&] { m.faults().busy = false; });
    Conn free(PortOf(sim));
    EXPECT_EQ(free.ask(H("AD 00"), 2), H("02 00"));
}

TEST(SimTransport, TcpLinkDropsAfterLoadAndTheModuleComesBack) {
    Simulator sim;
    SimModuleConfig c;
    c.afterLoad = SimAfterLoad::DeadBeef;
    c.restartMs = 200;
    SimModule& m = sim.add(c);
    sim.listenTcp(m, "127.0.0.1", 0);
    ASSERT_EQ(sim.start(), "");
    uint16_t port = PortOf(sim);
    {
        Conn host(port);
        EXPECT_EQ(host.ask(H("02 02 5F 02"), 4), H("02 02 5F 02"));
        bool closed = false;
        host.read(1, &closed);
        EXPECT_TRUE(closed) << "the loader start takes the link down";
    }
    ASSERT_TRUE(sim.waitFor([&] { return sim.restarting(m); }, 2000));
    Conn away(port);
    EXPECT_LT(away.fd, 0) << "nothing listens while the module restarts";
    ASSERT_TRUE(sim.waitFor([&] { return !sim.restarting(m); }, 2000));
    auto again = std::make_unique<Conn>(port);
    ASSERT_GE(again->fd, 0);
    EXPECT_EQ(again->ask(H("AD 00"), 2), H("02 00"));
    EXPECT_EQ(again->ask(H("02 03 03 49 20"), 9), H("02 07 03 09 00 DE AD DE AD"));
}

TEST(SimTransport, SerialPtyCarriesCheckedFrames) {
    Simulator sim;
    SimModuleConfig c;
    c.build = 0x00ABCDEF;
    SimModule& m = sim.add(c);
    sim.openPty(m);
    ASSERT_EQ(sim.start(), "");
    std::string path = sim.endpoints().at(0).where;
    aStreamRef port = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(path.c_str(), 6, false, 0, 0, &port), aErrNone);
    auto ask = [&](const Bytes& image, size_t n) {
        EXPECT_EQ(aStream_Write(port, image.data(), image.size()), aErrNone);
        Bytes out;
        for (int i = 0; i < 200 && out.size() < n; i++) {
            uint8_t b;
            aStream_WaitReadable(port, 10);
            if (aStream_Read(port, &b, 1) == aErrNone) out.push_back(b);
        }
        return out;
    };
    EXPECT_EQ(ask(H("AD 00"), 2), H("02 00"));
    EXPECT_EQ(ask(H("02 02 49 FF"), 8), H("02 06 49 FF 00 AB CD EF"));
    aStream_Destroy(&port);
}

// Runs fn on a thread of its own in a fresh network namespace with a veth pair at
// 10.77.0.1; answers why that could not be set up, or "".
std::string InPrivateNetwork(const std::function<void()>& fn) {
    std::string problem;
    std::thread t([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            problem = "cannot create a network namespace";
            return;
        }
        if (system("ip link add sim0 type veth peer name sim1 && "
                   "ip addr add 10.77.0.1/24 dev sim0 && ip link set sim0 up && "
                   "ip link set sim1 up && ip link set lo up") != 0) {
            problem = "cannot set up a veth pair in the namespace";
            return;
        }
        fn();
    });
    t.join();
    return problem;
}

TEST(SimTransport, DiscoveryRepliesInsideAPrivateNetwork) {
    Bytes reply;
    std::string from;
    std::string problem = InPrivateNetwork([&] {
        Simulator sim;
        SimModuleConfig c;
        c.serial = 0x40F5849A;
        c.address = 4;
        c.model = 0x13;
        SimModule& m = sim.add(c);
        sim.listenTcp(m, "10.77.0.1", 0);
        sim.setDiscovery("10.77.0.1");
        ASSERT_EQ(sim.start(), "");
        uint16_t port = PortOf(sim);
        int listener = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(9889);
        ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        int sender = socket(AF_INET, SOCK_DGRAM, 0);
        in_addr ifAddr{};
        inet_pton(AF_INET, "10.77.0.1", &ifAddr);
        setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &ifAddr, sizeof ifAddr);
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(9888);
        inet_pton(AF_INET, "232.2.2.2", &group.sin_addr);
        uint8_t request[16] = {1};
        ASSERT_EQ(sendto(sender, request, 16, 0, reinterpret_cast<sockaddr*>(&group), sizeof group),
                  16);
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 2000) == 1) {
            uint8_t b[64];
            sockaddr_in src{};
            socklen_t len = sizeof src;
            ssize_t n = recvfrom(listener, b, sizeof b, 0, reinterpret_cast<sockaddr*>(&src), &len);
            if (n > 0) reply.assign(b, b + n);
            char text[32];
            from = inet_ntop(AF_INET, &src.sin_addr, text, sizeof text);
        }
        Bytes expect = H("00 04 00 00 9A 84 F5 40 00 00 00 00 13 00 00 00");
        expect[2] = uint8_t(port);
        expect[3] = uint8_t(port >> 8);
        EXPECT_EQ(reply, expect);
        EXPECT_EQ(from, "10.77.0.1");
        close(listener);
        close(sender);
    });
    if (!problem.empty()) GTEST_SKIP() << problem;
}

TEST(SimTransport, ExecutableServesAConfiguredRouterAndStopsOnSigterm) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir.file("sim.conf"), "# a router with one module on its bus\n"
                                                 "[module]\n"
                                                 "serial = 40F5849A\n"
                                                 "address = 2\n"
                                                 "pty = yes\n"
                                                 "\n"
                                                 "[module]\n"
                                                 "serial = 11223344\n"
                                                 "address = 6\n"
                                                 "on = 40F5849A\n");
    testsupport::ChildProcess sim(testsupport::BinPath("corvane-sim"),
                                  {"--config", dir.file("sim.conf"), "--verbose"});
    std::string serial = sim.waitForLine("corvane-sim ready serial 40F5849A /dev/");
    std::string tcp = sim.waitForLine("corvane-sim ready tcp 40F5849A 127.0.0.1:");
    EXPECT_NE(sim.waitForLine("corvane-sim ready routed 11223344 40F5849A 6"), "");
    ASSERT_NE(tcp, "") << sim.errors();
    EXPECT_NE(serial, "");
    Conn host(uint16_t(std::stoi(tcp.substr(tcp.rfind(':') + 1))));
    EXPECT_EQ(host.ask(H("02 04 03 94 20 01"), 5), H("02 03 03 D4 00"));
    EXPECT_EQ(host.ask(H("06 03 03 49 20"), 9), H("06 07 03 09 00 11 22 33 44"));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(sim.errors().find("corvane-sim 11223344 > 06 [7] 03 09 00 11 22 33 44"),
              std::string::npos)
        << sim.errors();

    auto bad = testsupport::Run(testsupport::BinPath("corvane-sim"), {"--address", "3"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("corvane-sim: bad value for address: 3"), std::string::npos) << bad.err;
}

} // namespace
