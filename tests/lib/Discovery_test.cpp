// Module discovery over UDP multicast, inside private network namespaces: the tool's
// side and the modules' side joined by a veth pair, never the machine's own network
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <thread>

#include "NamespacePair.h"
#include "TestSupport.h"
#include "discover.h"
#include "unix_discovery.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testsupport::address;
using testsupport::kModuleAddress;
using testsupport::kToolAddress;
using testsupport::NamespacePair;

// A module's discovery reply.
Bytes reply(uint8_t moduleAddress, uint16_t port, uint32_t serial, uint8_t model,
            size_t length = 16) {
    Bytes r = {0,
               moduleAddress,
               uint8_t(port),
               uint8_t(port >> 8),
               uint8_t(serial),
               uint8_t(serial >> 8),
               uint8_t(serial >> 16),
               uint8_t(serial >> 24),
               0,
               0,
               0,
               0,
               model,
               0,
               0,
               0};
    r.resize(length);
    return r;
}

// Answers every discovery request with the given replies, from inside the modules'
// namespace, until destroyed.
class Responder {
  public:
    Responder(const std::string& ns, std::vector<Bytes> replies)
        : replies(std::move(replies)), stop(eventfd(0, EFD_CLOEXEC)) {
        std::unique_lock<std::mutex> g(lock);
        thread = std::thread([this, ns] { run(ns); });
        started.wait(g, [&] { return ready != 0; });
    }
    ~Responder() {
        uint64_t one = 1;
        if (write(stop, &one, sizeof one) < 0) ADD_FAILURE() << "cannot stop the responder";
        thread.join();
        close(stop);
    }
    bool ok() const { return ready == 1; }
    std::vector<Bytes> requests() {
        std::lock_guard<std::mutex> g(lock);
        return seen;
    }

  private:
    void run(const std::string& ns) {
        int s = NamespacePair::join(ns) ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
        int on = 1;
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(aDISCOVERY_REQUEST_PORT);
        ip_mreq group = {};
        group.imr_multiaddr.s_addr = address(aDISCOVERY_REQUEST_GROUP);
        group.imr_interface.s_addr = address(kModuleAddress);
        bool ok = s >= 0 && setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                  setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &group, sizeof group) == 0;
        {
            std::lock_guard<std::mutex> g(lock);
            ready = ok ? 1 : 2;
        }
        started.notify_all();
        while (ok && serveOne(s)) {
        }
        if (s >= 0) close(s);
    }
    // Answers one request; false once asked to stop.
    bool serveOne(int s) {
        struct pollfd p[2] = {{s, POLLIN, 0}, {stop, POLLIN, 0}};
        if (poll(p, 2, 30000) <= 0 || (p[1].revents & POLLIN)) return false;
        uint8_t request[64];
        sockaddr_in from = {};
        socklen_t len = sizeof from;
        ssize_t n =
            recvfrom(s, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return false;
        {
            std::lock_guard<std::mutex> g(lock);
            seen.emplace_back(request, request + n);
        }
        from.sin_port = htons(aDISCOVERY_REPLY_PORT);
        for (const Bytes& r : replies)
            sendto(s, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
        return true;
    }

    std::vector<Bytes> replies;
    int stop;
    std::mutex lock;
    std::condition_variable started;
    int ready = 0; // 1 serving, 2 failed
    std::vector<Bytes> seen;
    std::thread thread;
};

bool collect(const linkSpec* spec, bool* found, void* context) {
    static_cast<std::vector<linkSpec>*>(context)->push_back(*spec);
    *found = true;
    return true;
}

class DiscoveryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!net.error.empty()) GTEST_SKIP() << "no private network namespace: " << net.error;
    }
    NamespacePair net;
};

TEST_F(DiscoveryTest, RepliesBecomeSpecifiersWhicheverInterfaceIsChosen) {
    Responder responder(net.modules, {reply(4, 9000, 0x40F5849A, 0x13),
                                      reply(6, 0x1234, 0x0012ABCD, 0x1B, 12), // no model byte
                                      Bytes{1, 2, 3, 4, 5}}); // too short to carry a module
    ASSERT_TRUE(responder.ok());

    const uint32_t interfaces[] = {0, aDISCOVERY_ANY_INTERFACE, address(kToolAddress)};
    for (uint32_t itf : interfaces) {
        SCOPED_TRACE(testing::Message() << "interface " << std::hex << itf);
        std::vector<linkSpec> found;
        uint8_t count =
            net.inTool([&] { return aDiscovery_EnumerateModules(TCPIP, collect, &found, itf); });
        EXPECT_EQ(count, 2);
        ASSERT_EQ(found.size(), 2u);
        std::map<uint32_t, linkSpec> bySerial;
        for (const linkSpec& s : found)
            bySerial[s.serialNumber] = s;
        const linkSpec& a = bySerial[0x40F5849A];
        EXPECT_EQ(a.type, uint32_t(TCPIP));
        EXPECT_EQ(a.routerSerialNumber, 0x40F5849Au);
        EXPECT_EQ(a.module, 4u);
        EXPECT_EQ(a.router, 4u);
        EXPECT_EQ(a.model, 0x13u);
        EXPECT_EQ(a.t.ip.ipAddress, address(kModuleAddress));
        EXPECT_EQ(a.t.ip.ipPort, 9000u);
        const linkSpec& b = bySerial[0x0012ABCD];
        EXPECT_EQ(b.module, 6u);
        EXPECT_EQ(b.model, 255u);
        EXPECT_EQ(b.t.ip.ipPort, 0x1234u);
    }
    // One request per search: the tool's side has one interface besides loopback.
    Bytes request(16, 0);
    request[0] = 1;
    EXPECT_EQ(responder.requests(), std::vector<Bytes>(std::size(interfaces), request));
}

TEST_F(DiscoveryTest, FindsTakeTheirModuleAndStopEarly) {
    Responder responder(net.modules, {reply(2, 9000, 0, 0x13), reply(4, 9001, 0x40F5849A, 0x13),
                                      reply(6, 9002, 0x0BADCAFE, 0x05)});
    ASSERT_TRUE(responder.ok());

    linkSpec* spec = net.inTool([] { return aDiscovery_FindModule(TCPIP, 0x0BADCAFE, 0); });
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x0BADCAFEu);
    EXPECT_EQ(spec->t.ip.ipPort, 9002u);
    aLinkSpec_Destroy(&spec);

    spec = net.inTool([] { return aDiscovery_FindFirstModule(TCPIP, 0); });
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0x40F5849Au); // the module with serial 0 is passed over
    aLinkSpec_Destroy(&spec);

    EXPECT_EQ(net.inTool([] { return aDiscovery_FindModule(TCPIP, 0x12345678, 0); }), nullptr);

    int calls = 0;
    auto stopAtFirst = [](const linkSpec*, bool* found, void* ctx) {
        ++*static_cast<int*>(ctx);
        *found = true;
        return false;
    };
    EXPECT_EQ(
        net.inTool([&] { return aDiscovery_EnumerateModules(TCPIP, stopAtFirst, &calls, 0); }), 1);
    EXPECT_EQ(calls, 1);
}

TEST_F(DiscoveryTest, TypesWithoutADiscoveryFindNothing) {
    Responder responder(net.modules, {reply(4, 9000, 0x40F5849A, 0x13)});
    ASSERT_TRUE(responder.ok());
    for (uint32_t type : {0u, 3u, 4u, 5u, 6u, 7u, 8u, 0xFFFFFFFFu}) {
        int calls = 0;
        auto count = [](const linkSpec*, bool* found, void* ctx) {
            ++*static_cast<int*>(ctx);
            *found = true;
            return true;
        };
        EXPECT_EQ(net.inTool([&] {
            return aDiscovery_EnumerateModules(linkType(type), count, &calls, 0);
        }),
                  0)
            << type;
        EXPECT_EQ(calls, 0) << type;
        EXPECT_EQ(net.inTool([&] { return aDiscovery_FindFirstModule(linkType(type), 0); }),
                  nullptr);
    }
}

} // namespace
