// LocklessQueue_SPSC - a ring for exactly one producer thread and one consumer thread
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

namespace Pelmora {

// N slots hold at most N - 1 items: a full ring refuses the push (the item is dropped by
// the caller). The producer alone moves the write index, the consumer alone the read
// index; each publishes its index after the slot is done, so no lock is needed.
template <typename T> class LocklessQueue_SPSC {
  public:
    // capacity: slots, 2 .. 65535.
    explicit LocklessQueue_SPSC(uint16_t capacity) : slots(capacity < 2 ? 2 : capacity) {}
    LocklessQueue_SPSC(const LocklessQueue_SPSC&) = delete;
    LocklessQueue_SPSC& operator=(const LocklessQueue_SPSC&) = delete;

    // Producer only. False when full.
    bool push(const T& item) {
        uint16_t w = writeIndex.load(std::memory_order_relaxed);
        uint16_t next = advance(w);
        if (next == readIndex.load(std::memory_order_acquire)) return false;
        slots[next] = item;
        writeIndex.store(next, std::memory_order_release);
        return true;
    }

    // Consumer only. False when empty.
    bool pop(T& item) {
        uint16_t r = readIndex.load(std::memory_order_relaxed);
        if (r == writeIndex.load(std::memory_order_acquire)) return false;
        uint16_t next = advance(r);
        item = slots[next];
        readIndex.store(next, std::memory_order_release);
        return true;
    }

    uint16_t capacity() const { return uint16_t(slots.size()); }

  private:
    uint16_t advance(uint16_t i) const {
        return uint16_t(size_t(i) + 1 == slots.size() ? 0 : i + 1);
    }

    std::vector<T> slots;
    std::atomic<uint16_t> writeIndex{0};
    std::atomic<uint16_t> readIndex{0};
};

} // namespace Pelmora
