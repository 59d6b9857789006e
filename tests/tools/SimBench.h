// SimBench - a simulated module on a link driven byte by byte with a hand-moved clock
#pragma once

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "SimLink.h"
#include "SimModule.h"

using Bytes = std::vector<uint8_t>;

// "02 04 03 08" as bytes.
inline Bytes H(const std::string& text) {
    Bytes out;
    std::istringstream in(text);
    std::string b;
    while (in >> b)
        out.push_back(uint8_t(std::stoul(b, nullptr, 16)));
    return out;
}

inline Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A module and its link; the clock moves only when a test moves it, so replies that
// are held back or paced come out at exactly known times.
struct SimBench {
    uint64_t nowUs = 5000000; // first, so the link starts at this time
    explicit SimBench(const SimModuleConfig& c = {}, SimFraming framing = SimFraming::Bare)
        : module(std::make_unique<SimModule>(c)),
          link(std::make_unique<SimLink>(*module, framing, nowUs)) {}

    // Sends the bytes and answers everything due at the same moment.
    Bytes ask(const Bytes& bytes) {
        link->input(bytes.data(), bytes.size(), nowUs);
        return link->output(nowUs);
    }
    // The link went (the module restarted) and the host comes back.
    void relink(SimFraming framing = SimFraming::Bare) {
        link.reset();
        link = std::make_unique<SimLink>(*module, framing, nowUs);
    }
    Bytes advance(uint64_t us) {
        nowUs += us;
        link->tick(nowUs);
        return link->output(nowUs);
    }

    std::unique_ptr<SimModule> module;
    std::unique_ptr<SimLink> link;
};
