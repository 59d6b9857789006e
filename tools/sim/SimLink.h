// SimLink - one host link to a simulated module: bytes in, bytes out
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "SimModule.h"
#include "aStream.h"

struct aPacket;

// How packets travel on the link: bare wire images (USB, TCP/IP) or checked COBS
// frames (serial).
enum class SimFraming { Bare, Cobs };

// Turns the host's bytes into packets for the module (or, through a router, for the
// module on its bus that answers) and the replies into bytes for the host, holding
// each reply back by the module's reply delay and pacing bytes at its baud rate.
// Transport-free: whatever carries the bytes (a socket, a pty, an emulated USB device)
// feeds input and sends what output hands out. Times are microseconds of any steady
// clock. Not thread-safe: one owner drives it.
class SimLink {
  public:
    // Called for every packet that passes, in (false) or out (true).
    using Trace = std::function<void(bool out, const SimModule& module, const SimPacket& p)>;

    SimLink(SimModule& module, SimFraming framing, uint64_t nowUs);
    ~SimLink();
    SimLink(const SimLink&) = delete;
    SimLink& operator=(const SimLink&) = delete;

    void input(const uint8_t* bytes, size_t length, uint64_t nowUs);
    // Sends heartbeats that are due.
    void tick(uint64_t nowUs);
    // The bytes due by nowUs.
    std::vector<uint8_t> output(uint64_t nowUs);
    // Every byte still queued, whatever its time (for a link that is about to go).
    std::vector<uint8_t> flush();
    // When output or tick next has something to do; UINT64_MAX when nothing waits.
    uint64_t nextEventUs() const;

    // The module restarted: the transport closes the link and keeps it away for the
    // module's restart time.
    bool dropped() const { return drop; }
    // A loader or a new image started since the last call (for dumps).
    bool takeStarted();

    void setTrace(Trace t) { trace = std::move(t); }
    SimModule& module() { return root; }

  private:
    struct Pending {
        uint64_t dueUs;
        std::vector<uint8_t> bytes;
    };
    void feed(uint8_t byte, uint64_t nowUs);
    void deliver(const SimPacket& p, uint64_t nowUs);
    void send(const SimModule& from, const SimResult& r, uint64_t nowUs);
    static aErr rxGet(uint8_t* byte, void* ref);
    static aErr txWrite(const uint8_t* data, size_t length, void* ref);
    static aErr txPut(uint8_t byte, void* ref);

    SimModule& root;
    SimFraming framing;
    aStreamRef cobs = nullptr;
    std::deque<uint8_t> rx;        // raw bytes not yet through the framing
    std::vector<uint8_t> txFramed; // what the framing produced for the current reply
    aPacket* assembling = nullptr;
    std::deque<Pending> queue;
    size_t sentOfFront = 0;
    uint64_t wireFreeUs = 0;
    bool drop = false;
    bool started = false;
    Trace trace;
};
