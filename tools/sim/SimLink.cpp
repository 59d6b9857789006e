// SimLink - one host link to a simulated module: bytes in, bytes out
#include "SimLink.h"

#include <algorithm>

#include "aPacket.h"
#include "aStream_CobsEncoding.h"

SimLink::SimLink(SimModule& module, SimFraming framing, uint64_t nowUs)
    : root(module), framing(framing) {
    assembling = aPacket_Create();
    if (framing == SimFraming::Cobs)
        aStream_CreateCobsEncoding(rxGet, txPut, txWrite, nullptr, this, &cobs);
    root.linkOpened(nowUs / 1000);
}

SimLink::~SimLink() {
    root.linkClosed();
    aStream_Destroy(&cobs);
    aPacket_Destroy(&assembling);
}

aErr SimLink::rxGet(uint8_t* byte, void* ref) {
    auto* link = static_cast<SimLink*>(ref);
    if (link->rx.empty()) return aErrNotReady;
    *byte = link->rx.front();
    link->rx.pop_front();
    return aErrNone;
}

aErr SimLink::txWrite(const uint8_t* data, size_t length, void* ref) {
    auto* link = static_cast<SimLink*>(ref);
    link->txFramed.insert(link->txFramed.end(), data, data + length);
    return aErrNone;
}

aErr SimLink::txPut(uint8_t byte, void* ref) {
    return txWrite(&byte, 1, ref);
}

void SimLink::input(const uint8_t* bytes, size_t length, uint64_t nowUs) {
    if (drop) return;
    if (framing == SimFraming::Bare) {
        for (size_t i = 0; i < length && !drop; i++)
            feed(bytes[i], nowUs);
        return;
    }
    rx.insert(rx.end(), bytes, bytes + length);
    // The framing hands out a checked frame's image a byte per read once its delimiter
    // arrived; keep reading while raw bytes remain or image bytes come out.
    while (cobs && !drop) {
        bool rawLeft = !rx.empty();
        uint8_t b = 0;
        aErr err = aStream_Read(cobs, &b, 1);
        if (err == aErrNone) {
            feed(b, nowUs);
        } else if (err == aErrPacket) {
            aPacket_Reset(assembling); // a damaged frame: start over with the next one
        } else if (!rawLeft) {
            break;
        }
    }
}

void SimLink::feed(uint8_t byte, uint64_t nowUs) {
    // Out of step (a zero address, an impossible length): drop what was gathered, as
    // the host's sync handshake will bring the stream back in step.
    if (aPacket_AddByte(assembling, byte) != aErrNone) {
        aPacket_Reset(assembling);
        return;
    }
    if (!aPacket_IsComplete(assembling)) return;
    SimPacket p;
    p.address = assembling->address;
    p.data.assign(assembling->data, assembling->data + assembling->dataSize);
    aPacket_Reset(assembling);
    deliver(p, nowUs);
}

void SimLink::deliver(const SimPacket& p, uint64_t nowUs) {
    if (trace) trace(false, root, p);
    SimModule* target = root.answererFor(p.address);
    if (!target) return;
    SimResult r = target->handle(p, nowUs / 1000);
    send(*target, r, nowUs);
    started |= r.loaderStarted || r.firmwareStarted;
    // A module behind a router restarts without taking the router's link with it.
    if (r.dropLink && target == &root) drop = true;
}

void SimLink::send(const SimModule& from, const SimResult& r, uint64_t nowUs) {
    uint64_t due = nowUs + uint64_t(root.faults().replyDelayMs) * 1000;
    for (const auto& p : r.replies) {
        if (trace) trace(true, from, p);
        std::vector<uint8_t> image{p.address, uint8_t(p.data.size())};
        image.insert(image.end(), p.data.begin(), p.data.end());
        if (cobs) {
            txFramed.clear();
            aStream_Write(cobs, image.data(), image.size());
            image.swap(txFramed);
        }
        queue.push_back({due, std::move(image)});
    }
}

void SimLink::tick(uint64_t nowUs) {
    if (drop) return;
    SimResult r = root.tick(nowUs / 1000);
    send(root, r, nowUs);
}

std::vector<uint8_t> SimLink::output(uint64_t nowUs) {
    std::vector<uint8_t> out;
    uint32_t baud = root.faults().baud;
    uint64_t byteUs = baud ? 10000000ull / baud : 0;
    while (!queue.empty() && queue.front().dueUs <= nowUs) {
        auto& front = queue.front();
        if (!byteUs) {
            out.insert(out.end(), front.bytes.begin() + long(sentOfFront), front.bytes.end());
            sentOfFront = front.bytes.size();
        }
        while (sentOfFront < front.bytes.size()) {
            uint64_t at = std::max(front.dueUs, wireFreeUs);
            if (at > nowUs) return out;
            out.push_back(front.bytes[sentOfFront++]);
            wireFreeUs = at + byteUs;
        }
        queue.pop_front();
        sentOfFront = 0;
    }
    return out;
}

std::vector<uint8_t> SimLink::flush() {
    std::vector<uint8_t> out;
    for (auto& p : queue)
        out.insert(out.end(), p.bytes.begin() + long(&p == &queue.front() ? sentOfFront : 0),
                   p.bytes.end());
    queue.clear();
    sentOfFront = 0;
    return out;
}

uint64_t SimLink::nextEventUs() const {
    uint64_t next = UINT64_MAX;
    uint64_t hb = root.nextTickMs();
    if (hb != UINT64_MAX && !drop) next = hb * 1000;
    if (!queue.empty()) {
        uint32_t baud = root.faults().baud;
        uint64_t at = queue.front().dueUs;
        if (baud) at = std::max(at, wireFreeUs);
        next = std::min(next, at);
    }
    return next;
}

bool SimLink::takeStarted() {
    bool s = started;
    started = false;
    return s;
}
