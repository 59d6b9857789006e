// bench_update - the firmware stage of an update over TCP loopback against the simulator:
// bytes per second with DATA packets and with UEI bytes on pooled packets, and the link's
// round trip beside a raw socket ping-pong with the same simulated module
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BirdWriter.h"
#include "Link.h"
#include "Module.h"
#include "Simulator.h"
#include "UpdaterEntity.h"

using Pelmora::Corvane::aLoomConfig;
using Pelmora::Corvane::Module;
using Clock = std::chrono::steady_clock;

namespace {

double rawDataRoundTripOnce(uint16_t port, int n);

constexpr uint32_t kSerial = 0x40F5849A;
constexpr size_t kImage = 256 * 1024;
constexpr int kRuns = 5;

class Quiet : public UpdaterDisplayInterface {
  public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

uint16_t portOf(const Simulator& sim) {
    for (const auto& e : sim.endpoints())
        if (e.kind == "tcp") return uint16_t(std::stoi(e.where.substr(e.where.rfind(':') + 1)));
    return 0;
}

void connect(Module& m, uint16_t port) {
    aLoomConfig direct;
    direct.enabled = 0;
    direct.fallback = 0;
    m.setConfig(direct);
    linkSpec s = {};
    s.type = TCPIP;
    s.serialNumber = kSerial;
    s.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    s.t.ip.ipPort = port;
    // The simulator takes one host at a time: wait until it saw the last one go.
    for (int attempt = 0; attempt < 50; attempt++) {
        if (m.connectFromSpec(s) == aErrNone) return;
        m.disconnect();
        usleep(20000);
    }
    fprintf(stderr, "connect failed\n");
    exit(1);
}

// Seconds for one firmware block of the image, chunk by chunk (PREPARE, DATA or
// DATA_UEI, SUM, WRITE), the loader already running.
double firmwareSeconds(uint16_t port, const BirdBlock& block, bool uei) {
    Module m(2, 0);
    connect(m, port);
    Quiet quiet;
    UpdaterEntity e;
    e.init(&m, 0, true, false);
    if (uei && e.CheckUEIDataSupport() == aErrNone) e.CheckPooledPacketsSupport();
    auto t0 = Clock::now();
    uint16_t chunk = 0;
    aErr err = e.TransferPrepare(block.data, block.length, block.flags, chunk);
    if (err == aErrNone) err = e.FirmwareTransfer(block.data, block.length, chunk, quiet);
    double s = std::chrono::duration<double>(Clock::now() - t0).count();
    if (err != aErrNone) {
        fprintf(stderr, "transfer failed: %d\n", int(err));
        exit(1);
    }
    m.disconnect();
    return s;
}

// A DATA packet and its reply over a bare blocking socket: the floor. The simulator takes
// one host at a time, so a connection made before it saw the last host go is tried again.
double rawDataRoundTripUs(uint16_t port, int n) {
    for (int attempt = 0; attempt < 50; attempt++) {
        double us = rawDataRoundTripOnce(port, n);
        if (us > 0) return us;
        usleep(20000);
    }
    fprintf(stderr, "raw socket got no replies\n");
    exit(1);
}

} // namespace

namespace {

double rawDataRoundTripOnce(uint16_t port, int n) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        close(s);
        return -1;
    }
    uint8_t request[30] = {2, 28, cmdUPGRADE, val_UPGRADE_DATA};
    std::vector<double> t;
    for (int i = 0; i < n; i++) {
        auto t0 = Clock::now();
        if (send(s, request, sizeof request, 0) != ssize_t(sizeof request)) {
            close(s);
            return -1;
        }
        uint8_t reply[5];
        size_t got = 0;
        while (got < sizeof reply) {
            ssize_t r = recv(s, reply + got, sizeof reply - got, 0);
            if (r <= 0) {
                close(s);
                return -1;
            }
            got += size_t(r);
        }
        t.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    close(s);
    return median(t);
}

} // namespace

int main() {
    std::vector<uint8_t> image(kImage), loader(2048);
    for (size_t i = 0; i < image.size(); i++)
        image[i] = uint8_t(i * 31 + (i >> 7));
    BirdWriter w;
    w.AddInfo({1, "1.0.0", kSerial, "bench"});
    w.AddImage(BLOCK_LOADER, 0, 0x20000000, loader);
    w.AddImage(BLOCK_FIRMWARE, 0, 0x4000, image);
    std::vector<uint8_t> file = w.File();
    BirdFile bird;
    if (!bird.LoadBytes(file.data(), file.size())) return 1;
    BirdBlock block = bird.FindBlocks(BLOCK_FIRMWARE).at(0);

    Simulator sim;
    SimModuleConfig config;
    config.serial = kSerial;
    config.features = 0x80000000u;
    SimModule& module = sim.add(config);
    sim.listenTcp(module, "127.0.0.1", 0);
    if (!sim.start().empty()) return 1;
    uint16_t port = portOf(sim);
    {
        Module m(2, 0);
        connect(m, port);
        Quiet quiet;
        if (_transfer_loader(quiet, m, bird) != aErrNone) return 1; // the loader stays running
        m.disconnect();
    }

    // Round trips in DATA mode: one per DATA packet, one per SUM and WRITE of each chunk.
    size_t chunks = (kImage + 1023) / 1024;
    size_t trips = (kImage / 1024) * ((1024 + 25) / 26) + 2 * chunks + 1;
    std::vector<double> dataRate, ueiRate, share;
    for (int run = 0; run < kRuns; run++) {
        double data = firmwareSeconds(port, block, false);
        double uei = firmwareSeconds(port, block, true);
        double raw = rawDataRoundTripUs(port, 2000);
        double linkTrip = data * 1e6 / double(trips);
        dataRate.push_back(kImage / data);
        ueiRate.push_back(kImage / uei);
        share.push_back(linkTrip / raw);
        printf("  run %d: DATA %.0f B/s (%.1f us per round trip), UEI bytes pooled %.0f B/s, raw "
               "round trip %.1f us, link/raw %.3f\n",
               run + 1, kImage / data, linkTrip, kImage / uei, raw, linkTrip / raw);
    }
    printf("firmware %zu bytes: DATA %.0f B/s, UEI bytes pooled %.0f B/s, speed-up %.2fx (goal >= "
           "5)\n",
           kImage, median(dataRate), median(ueiRate), median(ueiRate) / median(dataRate));
    printf("DATA round trip through the link / raw socket: median %.3f (goal < 1.5)\n",
           median(share));
    return 0;
}
