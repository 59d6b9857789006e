// MemoryTransport - a transport below aStream whose bytes a test scripts and inspects
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "aStream.h"

// get hands out the scripted results in order (a byte, or an error such as
// aErrNotReady), then aErrEOF; put and write record what the stream sent.
struct MemoryTransport {
    struct Step {
        aErr err;
        uint8_t byte;
    };
    std::deque<Step> script;
    int gets = 0, puts = 0, writes = 0;
    std::vector<uint8_t> sent;
    std::vector<size_t> writeSizes;
    aErr writeResult = aErrNone;

    void bytes(const std::vector<uint8_t>& b) {
        for (uint8_t x : b)
            script.push_back({aErrNone, x});
    }
    void error(aErr e) { script.push_back({e, 0}); }

    static aErr get(uint8_t* byte, void* ref) {
        auto* m = static_cast<MemoryTransport*>(ref);
        m->gets++;
        if (m->script.empty()) return aErrEOF;
        Step s = m->script.front();
        m->script.pop_front();
        *byte = s.byte;
        return s.err;
    }
    static aErr put(uint8_t byte, void* ref) {
        auto* m = static_cast<MemoryTransport*>(ref);
        m->puts++;
        m->sent.push_back(byte);
        return m->writeResult;
    }
    static aErr write(const uint8_t* data, size_t length, void* ref) {
        auto* m = static_cast<MemoryTransport*>(ref);
        m->writes++;
        m->writeSizes.push_back(length);
        m->sent.insert(m->sent.end(), data, data + length);
        return m->writeResult;
    }
    aStreamRef stream() { return aStream_Create(get, put, write, nullptr, this); }
};
