// packetfifo - thread-safe packet queues named by numeric ids
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"

typedef uint64_t aPacketFifoId;

// Most packets a FIFO holds; one more discards the whole queue.
#define aPACKETFIFO_CAPACITY 1000

// Answers true to take the packet. Runs with the FIFO's lock held: keep it short and
// never call back into the same FIFO.
typedef bool (*aPacketFilterProc)(const aPacket* packet, void* ref);

// A new empty FIFO's id; 0 when creation fails (0 never names a FIFO).
aPacketFifoId aPacketFifo_Create();

// Discards the packets, wakes every waiter (they answer null) and sets *id to 0.
// aErrParam for a null pointer, aErrNotFound for an unknown id, aErrUnknown otherwise.
aErr aPacketFifo_Destroy(aPacketFifoId* id);

// Packets held; 0 for an unknown id.
size_t aPacketFifo_GetLength(aPacketFifoId id);

// Queues a copy (the caller keeps its packet). aErrParam for an unknown id or invalid
// packet, aErrResource when memory runs out. The put that would make the queue hold
// more than aPACKETFIFO_CAPACITY packets empties it and still answers aErrNone.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);

// Every packet handed out below is a new copy the caller destroys with aPacket_Destroy.

// Oldest packet, or null when empty or unknown.
aPacket* aPacketFifo_Get(aPacketFifoId id);

// Oldest packet, waiting up to timeoutMs for one; null on time-out or destruction.
aPacket* aPacketFifo_Await(aPacketFifoId id, uint32_t timeoutMs);

// Oldest packet filter accepts (the rest keep their order), or null.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilterProc filter, void* ref);

// As GetFirst, waiting up to timeoutMs; each packet is offered to filter at most once
// per call however often the waiter wakes.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilterProc filter, void* ref,
                                uint32_t timeoutMs);

// Removes and destroys every packet filter accepts; answers how many.
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilterProc filter, void* ref);
