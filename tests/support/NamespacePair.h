// NamespacePair - two private network namespaces joined by a veth pair, for tests that multicast
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace testsupport {

inline const char* kToolAddress = "10.213.0.1";   // the tool's end
inline const char* kModuleAddress = "10.213.0.2"; // the modules' end

// IPv4 text as an address in network byte order.
inline uint32_t address(const char* text) {
    in_addr a = {};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// Two fresh namespaces joined by a veth pair; removed on destruction. error() is not
// empty when they cannot be made (no privilege, no ip tool): the test then skips.
class NamespacePair {
  public:
    NamespacePair() {
        std::string id = std::to_string(getpid());
        tool = "cvtool" + id;
        modules = "cvmod" + id;
        std::string toolEnd = "cvt" + id, moduleEnd = "cvm" + id;
        const std::vector<std::vector<std::string>> steps = {
            {"netns", "add", tool},
            {"netns", "add", modules},
            {"link", "add", toolEnd, "netns", tool, "type", "veth", "peer", "name", moduleEnd,
             "netns", modules},
            {"-n", tool, "addr", "add", std::string(kToolAddress) + "/24", "dev", toolEnd},
            {"-n", modules, "addr", "add", std::string(kModuleAddress) + "/24", "dev", moduleEnd},
            {"-n", tool, "link", "set", toolEnd, "up"},
            {"-n", modules, "link", "set", moduleEnd, "up"},
            {"-n", tool, "link", "set", "lo", "up"},
            {"-n", modules, "link", "set", "lo", "up"},
        };
        for (const auto& step : steps) {
            RunResult r = Run(kIp, step, {}, 20);
            if (r.status != 0) {
                error = "ip " + step[0] + " " + step[1] + ": " + r.err;
                return;
            }
        }
    }
    ~NamespacePair() {
        Run(kIp, {"netns", "del", tool}, {}, 20);
        Run(kIp, {"netns", "del", modules}, {}, 20);
    }
    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;

    // Moves the calling thread into a namespace; false when it cannot. Threads it starts
    // afterwards, and sockets it opens, belong to that namespace.
    static bool join(const std::string& name) {
        int fd = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        bool ok = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0) close(fd);
        return ok;
    }
    // Runs fn on a thread inside a namespace and answers its result.
    template <typename Fn> static auto in(const std::string& name, Fn fn) -> decltype(fn()) {
        decltype(fn()) result{};
        std::thread t([&] {
            if (join(name)) result = fn();
        });
        t.join();
        return result;
    }
    template <typename Fn> auto inTool(Fn fn) -> decltype(fn()) { return in(tool, fn); }
    template <typename Fn> auto inModules(Fn fn) -> decltype(fn()) { return in(modules, fn); }

    std::string tool, modules, error;

  private:
    static constexpr const char* kIp = "/usr/sbin/ip";
};

} // namespace testsupport
