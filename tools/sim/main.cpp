// corvane-sim - simulated modules over TCP/IP, serial and emulated USB for tests, demos and scripts
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "SimConfig.h"
#include "SimUsb.h"
#include "Simulator.h"

namespace {

const char* kUsage =
    "Usage:\n"
    "  corvane-sim [--bind ADDR] [--discovery IFADDR] [--dump-dir DIR] [--verbose]\n"
    "              [module options] [-- COMMAND [ARG...]]\n"
    "  corvane-sim --config FILE [--bind ADDR] [--discovery IFADDR] [--dump-dir DIR] [--verbose]\n"
    "              [-- COMMAND [ARG...]]\n"
    "  corvane-sim --help\n"
    "\n"
    "Module options (one module; a configuration file takes the same keys):\n"
    "  --serial HEX  --model N  --address N  --router N  --version M.m.p  --build N\n"
    "  --name TEXT  --features N  --uei-bytes yes|no  --chunk N  --heartbeat TENTHS\n"
    "  --after-load keep|reconnect|deadbeef  --restart-ms MS  --load-base N  --lack OPTION\n"
    "  --tcp yes|no|[ADDR:]PORT  --pty  --usb  --usb-node  --on ROUTERSERIAL\n"
    "Faults:\n"
    "  --drop-reply HEX[,COUNT]  --corrupt-sum N  --refuse-prepare N  --no-load-reply\n"
    "  --drop-after-data N  --busy  --reply-delay MS  --baud RATE\n"
    "\n"
    "Once every endpoint is open it prints one line per endpoint and a last line:\n"
    "  corvane-sim ready tcp SERIAL ADDR:PORT\n"
    "  corvane-sim ready serial SERIAL PTYPATH\n"
    "  corvane-sim ready usb SERIAL UMOCKDEV_DIR\n"
    "  corvane-sim ready usb-node SERIAL /dev/corvane.SERIAL\n"
    "  corvane-sim ready routed SERIAL ROUTERSERIAL ADDRESS\n"
    "  corvane-sim ready discovery IFADDR\n"
    "  corvane-sim ready\n"
    "It runs until SIGINT or SIGTERM and then exits with status 0; a bad command line or\n"
    "an endpoint that cannot be opened ends it with status 1 and a message.\n"
    "With a COMMAND it prints no ready lines: it runs the command with the modules\n"
    "attached (under umockdev's preload library, UMOCKDEV_DIR set, when a module is on\n"
    "USB), passes SIGINT and SIGTERM on to it, and exits with its exit status (128 plus\n"
    "the signal when a signal ended it, 127 when it could not be started).\n"
    "See tools/sim/README.md.\n";

// Runs the command with the emulated devices in reach, passing the stop signals on;
// answers its exit status.
// SIGCHLD must be blocked in every thread (see main), or a thread that does not wait for
// it could take it.
int runCommand(char** command, const std::string& usbRoot) {
    sigset_t waitFor;
    sigemptyset(&waitFor);
    sigaddset(&waitFor, SIGINT);
    sigaddset(&waitFor, SIGTERM);
    sigaddset(&waitFor, SIGCHLD);
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "corvane-sim: cannot start %s: %s\n", command[0], strerror(errno));
        return 127;
    }
    if (pid == 0) {
        if (!usbRoot.empty()) {
            const char* old = getenv("LD_PRELOAD");
            std::string preload =
                std::string(kSimUsbPreload) + (old && *old ? std::string(":") + old : "");
            setenv("LD_PRELOAD", preload.c_str(), 1);
            setenv("UMOCKDEV_DIR", usbRoot.c_str(), 1);
            // A sanitized command would refuse a library loaded before its runtime.
            const char* asan = getenv("ASAN_OPTIONS");
            std::string options = std::string(asan && *asan ? std::string(asan) + ":" : "") +
                                  "verify_asan_link_order=0";
            setenv("ASAN_OPTIONS", options.c_str(), 1);
        }
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        execvp(command[0], command);
        fprintf(stderr, "corvane-sim: cannot run %s: %s\n", command[0], strerror(errno));
        _exit(127);
    }
    for (;;) {
        // The end is also checked once a second, whatever became of its signal.
        const timespec second = {1, 0};
        int sig = sigtimedwait(&waitFor, nullptr, &second);
        if (sig == SIGINT || sig == SIGTERM) kill(pid, sig);
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 && errno != EINTR) return 127;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        fputs(kUsage, stdout);
        return 0;
    }
    // The signals are taken with sigwait, so every thread must have them blocked; so
    // must SIGCHLD, which tells of a command's end.
    sigset_t stopSignals, blocked;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    blocked = stopSignals;
    sigaddset(&blocked, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // Everything after "--" is the command to run with the modules attached.
    int ownArgs = argc;
    for (int i = 1; i < argc; i++)
        if (std::string(argv[i]) == "--") {
            ownArgs = i;
            break;
        }
    char** command = ownArgs < argc ? argv + ownArgs + 1 : nullptr;
    SimSetup setup;
    std::string error = SimConfig_ParseArgs(ownArgs, argv, setup);
    if (error.empty() && command && !*command) error = "no command after --";
    Simulator sim;
    if (error.empty()) error = SimConfig_Build(setup, sim);
    if (error.empty()) error = sim.start();
    if (!error.empty()) {
        fprintf(stderr, "corvane-sim: %s\n", error.c_str());
        return 1;
    }
    if (command) {
        int status = runCommand(command, sim.usbRoot());
        sim.stop();
        return status;
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
