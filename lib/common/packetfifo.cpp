// packetfifo - thread-safe packet queues named by numeric ids
#include "packetfifo.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* p) const { aPacket_Destroy(&p); }
};
using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;

// A queued packet with the serial id that orders it among all puts of its FIFO.
class SerialPacket {
  public:
    SerialPacket(int64_t id, PacketPtr packet) : id(id), packet(std::move(packet)) {}
    int64_t getId() const { return id; }
    const aPacket* getPacket() const { return packet.get(); }

  private:
    int64_t id;
    PacketPtr packet;
};

using Clock = std::chrono::steady_clock;

class packetFifo {
  public:
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<SerialPacket> queue; // oldest first
    std::atomic<bool> open{true};
    // Serial id of the oldest packet held, or of the next put when empty.
    std::atomic<int64_t> windowStart{0};
    std::atomic<int64_t> nextSerial{0};

    void syncWindow() { windowStart = queue.empty() ? nextSerial.load() : queue.front().getId(); }
    void clearAndSyncWindow() {
        queue.clear();
        syncWindow();
    }
    // Copies the element's packet out and erases it; keeps it when the copy fails.
    aPacket* steal(std::deque<SerialPacket>::iterator it) {
        aPacket* copy = aPacket_Copy(it->getPacket());
        if (!copy) return nullptr;
        queue.erase(it);
        syncWindow();
        return copy;
    }
};

using FifoPtr = std::shared_ptr<packetFifo>;

std::mutex gpPacketFifoDictionaryMutex;
std::map<aPacketFifoId, FifoPtr> gpPacketFifoDictionary;
std::atomic<aPacketFifoId> gpSequentialId{1};

// A reference of our own, so a FIFO destroyed meanwhile stays valid until we return.
FifoPtr lookup(aPacketFifoId id) {
    std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
    auto it = gpPacketFifoDictionary.find(id);
    return it == gpPacketFifoDictionary.end() ? nullptr : it->second;
}

Clock::time_point deadlineAfter(uint32_t timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs);
}

} // namespace

aPacketFifoId aPacketFifo_Create() {
    try {
        aPacketFifoId id = gpSequentialId++;
        if (id == 0) id = gpSequentialId++;
        auto fifo = std::make_shared<packetFifo>();
        std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
        gpPacketFifoDictionary.emplace(id, std::move(fifo));
        return id;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
    if (!id) return aErrParam;
    try {
        FifoPtr fifo;
        {
            std::lock_guard<std::mutex> lock(gpPacketFifoDictionaryMutex);
            auto it = gpPacketFifoDictionary.find(*id);
            if (it == gpPacketFifoDictionary.end()) return aErrNotFound;
            fifo = std::move(it->second);
            gpPacketFifoDictionary.erase(it);
        }
        {
            std::lock_guard<std::mutex> lock(fifo->mutex);
            fifo->clearAndSyncWindow();
            fifo->open = false;
        }
        fifo->cv.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
    FifoPtr fifo = lookup(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->queue.size();
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
    FifoPtr fifo = lookup(id);
    if (!fifo || !packet || packet->check != aPACKET_CHECK) return aErrParam;
    {
        std::lock_guard<std::mutex> lock(fifo->mutex);
        int64_t serial = fifo->nextSerial++;
        PacketPtr copy(aPacket_Copy(packet));
        if (!copy) return aErrParam;
        try {
            fifo->queue.emplace_back(serial, std::move(copy));
        } catch (...) {
            return aErrResource;
        }
        if (fifo->queue.size() > aPACKETFIFO_CAPACITY) {
            // Nobody reads this FIFO: drop it whole rather than grow without bound.
            fifo->clearAndSyncWindow();
            return aErrNone;
        }
        fifo->syncWindow();
    }
    fifo->cv.notify_all();
    return aErrNone;
}

aPacket* aPacketFifo_Get(aPacketFifoId id) {
    FifoPtr fifo = lookup(id);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->queue.empty()) return nullptr;
    return fifo->steal(fifo->queue.begin());
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint32_t timeoutMs) {
    FifoPtr fifo = lookup(id);
    if (!fifo) return nullptr;
    auto deadline = deadlineAfter(timeoutMs);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    bool ready =
        fifo->cv.wait_until(lock, deadline, [&] { return !fifo->queue.empty() || !fifo->open; });
    if (!ready || fifo->queue.empty()) return nullptr;
    return fifo->steal(fifo->queue.begin());
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc filter, void* ref) {
    FifoPtr fifo = lookup(id);
    if (!fifo || !filter) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it)
        if (filter(it->getPacket(), ref)) return fifo->steal(it);
    return nullptr;
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc filter, void* ref,
                                uint32_t timeoutMs) {
    FifoPtr fifo = lookup(id);
    if (!fifo || !filter) return nullptr;
    auto deadline = deadlineAfter(timeoutMs);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // Packets at or below lastSeen were offered already; a wake-up tests only newer ones.
    int64_t lastSeen = fifo->windowStart - 1;
    auto found = fifo->queue.end();
    auto satisfied = [&] {
        for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it) {
            if (it->getId() <= lastSeen) continue;
            lastSeen = it->getId();
            if (filter(it->getPacket(), ref)) {
                found = it;
                return true;
            }
        }
        return !fifo->open;
    };
    if (!fifo->cv.wait_until(lock, deadline, satisfied)) return nullptr;
    if (found == fifo->queue.end()) return nullptr;
    return fifo->steal(found);
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc filter, void* ref) {
    FifoPtr fifo = lookup(id);
    if (!fifo || !filter) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    size_t before = fifo->queue.size();
    std::erase_if(fifo->queue, [&](const SerialPacket& e) { return filter(e.getPacket(), ref); });
    fifo->syncWindow();
    return before - fifo->queue.size();
}
