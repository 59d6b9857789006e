// bench_link - a UEI round trip through a Link beside a raw socket ping-pong to the same
// module, the CPU an idle open link costs, byte-to-queue latency, pooled against plain
// writes. Prints medians of several runs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "Link.h"
#include "ScriptedModule.h"
#include "aLink.h"
#include "aTime.h"

using namespace Pelmora::Corvane;
using testsupport::Bytes;
using testsupport::ScriptedModule;
using Clock = std::chrono::steady_clock;

namespace {

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(q * double(v.size())))];
}

linkSpec tcpSpec(const ScriptedModule& m) {
    linkSpec s = {};
    s.type = TCPIP;
    s.serialNumber = m.serial();
    s.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    s.t.ip.ipPort = m.port();
    return s;
}

// Median microseconds of n UEI gets through a Link.
double linkRoundTrip(ScriptedModule& m, int n) {
    Link link(tcpSpec(m), "Link");
    if (link.connect() != aErrNone) {
        fprintf(stderr, "connect failed\n");
        exit(1);
    }
    uei get;
    get.module = 4;
    get.command = 3;
    get.option = 0x48;
    get.specifier = 0x20;
    std::vector<double> t;
    for (int i = 0; i < n; i++) {
        auto t0 = Clock::now();
        uei reply;
        link.sendUEI(get);
        if (link.receiveUEI(4, 3, 8, 0, &reply) != aErrNone) {
            fprintf(stderr, "no reply\n");
            exit(1);
        }
        t.push_back(micros(Clock::now() - t0));
    }
    return median(t);
}

// The same bytes over a bare blocking socket: the floor.
double rawRoundTrip(ScriptedModule& m, int n) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(m.port());
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) exit(1);
    const uint8_t request[5] = {4, 3, 3, 0x48, 0x20};
    std::vector<double> t;
    for (int i = 0; i < n; i++) {
        auto t0 = Clock::now();
        if (send(s, request, sizeof request, 0) != ssize_t(sizeof request)) exit(1);
        uint8_t reply[6];
        size_t got = 0;
        while (got < sizeof reply) {
            ssize_t r = recv(s, reply + got, sizeof reply - got, 0);
            if (r <= 0) exit(1);
            got += size_t(r);
        }
        t.push_back(micros(Clock::now() - t0));
    }
    close(s);
    return median(t);
}

void roundTrips() {
    ScriptedModule m(ScriptedModule::Transport::Tcp);
    m.setValue(3, 8, 0, {0x13});
    std::vector<double> ratios;
    for (int run = 0; run < 5; run++) {
        double viaLink = linkRoundTrip(m, 2000);
        double raw = rawRoundTrip(m, 2000);
        ratios.push_back(viaLink / raw);
        printf("  run %d: Link %.1f us, raw socket %.1f us, ratio %.3f\n", run + 1, viaLink, raw,
               viaLink / raw);
    }
    printf("UEI round trip ratio Link/raw: median %.3f (goal <= 1.25)\n", median(ratios));
}

double cpuSeconds() {
    struct rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The module lives in a child process, so this process's CPU is the link's alone.
void idleCpu(int seconds) {
    int portPipe[2], donePipe[2];
    if (pipe(portPipe) != 0 || pipe(donePipe) != 0) exit(1);
    pid_t child = fork();
    if (child == 0) {
        ScriptedModule m(ScriptedModule::Transport::Tcp);
        uint16_t port = m.port();
        if (write(portPipe[1], &port, sizeof port) != sizeof port) _exit(1);
        uint8_t b;
        while (read(donePipe[0], &b, 1) < 0) {
        }
        _exit(0);
    }
    uint16_t port = 0;
    if (read(portPipe[0], &port, sizeof port) != sizeof port) exit(1);
    aLinkRef id = aLink_CreateTCPIP(0x1D1E, htonl(INADDR_LOOPBACK), port);
    if (!id) exit(1);
    double before = cpuSeconds();
    auto t0 = Clock::now();
    aTime_MSSleep(uint64_t(seconds) * 1000);
    double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    double used = cpuSeconds() - before;
    printf("idle open link over %.1f s: %.4f s CPU = %.3f %% of one core (goal <= 0.5 %%)\n", wall,
           used, 100.0 * used / wall);
    aLink_Destroy(&id);
    if (write(donePipe[1], "x", 1) != 1) {
    }
    waitpid(child, nullptr, 0);
}

struct Arrival {
    std::mutex m;
    std::condition_variable cv;
    Clock::time_point queued;
    bool seen = false;
};

// From just before the module's send to the reader handing the packet to the queue.
void byteToQueue() {
    ScriptedModule m(ScriptedModule::Transport::Tcp);
    aLinkRef id = aLink_CreateTCPIP(m.serial(), htonl(INADDR_LOOPBACK), m.port());
    Arrival a;
    aLink_InstallUserPacketFilter(
        id,
        [](const aPacket*, void* ref) {
            auto* a = static_cast<Arrival*>(ref);
            std::lock_guard<std::mutex> g(a->m);
            a->queued = Clock::now();
            a->seen = true;
            a->cv.notify_all();
            return true;
        },
        &a);
    std::vector<double> t;
    for (int i = 0; i < 1000; i++) {
        aTime_MSSleep(2); // an idle link: the reader is asleep in its wait
        auto t0 = Clock::now();
        m.sendPacket(4, {0x20, uint8_t(i)});
        std::unique_lock<std::mutex> g(a.m);
        a.cv.wait_for(g, std::chrono::seconds(2), [&] { return a.seen; });
        if (!a.seen) exit(1);
        a.seen = false;
        t.push_back(micros(a.queued - t0));
    }
    printf("byte arrival to packet queued: median %.1f us, 99th percentile %.1f us\n", median(t),
           percentile(t, 0.99));
    aLink_Destroy(&id);
}

// Milliseconds from the first put until the module holds all 1000 packets.
double burst(bool pooled) {
    ScriptedModule m(ScriptedModule::Transport::Tcp);
    aLinkRef id = aLink_CreateTCPIP(m.serial(), htonl(INADDR_LOOPBACK), m.port());
    aLink_EnablePooledPackets(id, pooled);
    m.awaitCount({0xAF, 1, 1}, 1);
    size_t base = m.received().size();
    Bytes data(28, 0x5A);
    aPacket* p = aPacket_CreateWithData(6, 28, data.data());
    auto t0 = Clock::now();
    for (int i = 0; i < 1000; i++)
        aLink_PutPacket(id, p);
    bool all = m.awaitReceived(
        [&](const std::vector<Bytes>& got) { return got.size() >= base + 1000; }, 20000);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    aPacket_Destroy(&p);
    aLink_Destroy(&id);
    if (!all) {
        fprintf(stderr, "burst incomplete\n");
        exit(1);
    }
    return ms;
}

void pooledWrites() {
    std::vector<double> pooled, plain;
    for (int run = 0; run < 5; run++) {
        plain.push_back(burst(false));
        pooled.push_back(burst(true));
    }
    printf("1000 packets of 30 bytes: unpooled median %.2f ms, pooled median %.2f ms (%.1fx)\n",
           median(plain), median(pooled), median(plain) / median(pooled));
}

} // namespace

int main(int argc, char** argv) {
    int idleSeconds = argc > 1 ? atoi(argv[1]) : 10;
    // First, while this process has no other threads to carry into the fork.
    idleCpu(idleSeconds);
    byteToQueue();
    roundTrips();
    pooledWrites();
    return 0;
}
