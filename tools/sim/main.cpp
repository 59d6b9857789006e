// corvane-sim - simulated modules over TCP/IP and serial for tests, demos and scripts
#include <csignal>
#include <cstdio>
#include <string>

#include "SimConfig.h"
#include "Simulator.h"

namespace {

const char* kUsage =
    "Usage:\n"
    "  corvane-sim [--bind ADDR] [--discovery IFADDR] [--dump-dir DIR] [--verbose]\n"
    "              [module options]\n"
    "  corvane-sim --config FILE [--bind ADDR] [--discovery IFADDR] [--dump-dir DIR] [--verbose]\n"
    "  corvane-sim --help\n"
    "\n"
    "Module options (one module; a configuration file takes the same keys):\n"
    "  --serial HEX  --model N  --address N  --router N  --version M.m.p  --build N\n"
    "  --name TEXT  --features N  --uei-bytes yes|no  --chunk N  --heartbeat TENTHS\n"
    "  --after-load keep|reconnect|deadbeef  --restart-ms MS  --load-base N  --lack OPTION\n"
    "  --tcp yes|no|[ADDR:]PORT  --pty  --on ROUTERSERIAL\n"
    "Faults:\n"
    "  --drop-reply HEX[,COUNT]  --corrupt-sum N  --refuse-prepare N  --no-load-reply\n"
    "  --drop-after-data N  --busy  --reply-delay MS  --baud RATE\n"
    "\n"
    "Once every endpoint is open it prints one line per endpoint and a last line:\n"
    "  corvane-sim ready tcp SERIAL ADDR:PORT\n"
    "  corvane-sim ready serial SERIAL PTYPATH\n"
    "  corvane-sim ready routed SERIAL ROUTERSERIAL ADDRESS\n"
    "  corvane-sim ready discovery IFADDR\n"
    "  corvane-sim ready\n"
    "It runs until SIGINT or SIGTERM and then exits with status 0; a bad command line or\n"
    "an endpoint that cannot be opened ends it with status 1 and a message.\n"
    "See tools/sim/README.md.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        fputs(kUsage, stdout);
        return 0;
    }
    // The signals are taken with sigwait, so every thread must have them blocked.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    SimSetup setup;
    std::string error = SimConfig_ParseArgs(argc, argv, setup);
    Simulator sim;
    if (error.empty()) error = SimConfig_Build(setup, sim);
    if (error.empty()) error = sim.start();
    if (!error.empty()) {
        fprintf(stderr, "corvane-sim: %s\n", error.c_str());
        return 1;
    }
    for (const auto& e : sim.endpoints()) {
        if (e.kind == "discovery")
            printf("corvane-sim ready discovery %s\n", e.where.c_str());
        else
            printf("corvane-sim ready %s %08X %s\n", e.kind.c_str(), e.serial, e.where.c_str());
    }
    printf("corvane-sim ready\n");
    fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    sim.stop();
    return 0;
}
