// aLinkManagerInternal - one link's record, its reader and writer threads and handshake
#include "aLinkManagerInternal.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "aLink.h"
#include "aTime.h"

namespace {

using Clock = std::chrono::steady_clock;

// The reader blocks in the stream's wait this long at most, so it notices a stop and,
// while syncing, repeats a handshake the module did not answer.
constexpr uint32_t kReaderSliceMs = 50;
// Polled streams (no wait procedure): pause between empty reads.
constexpr uint32_t kPollPauseMs = 1;
// A wait that says "readable" while gets keep answering nothing this many times (a COBS
// frame is at most 33 bytes) means a hang-up the transport cannot report; slow down.
constexpr int kFruitlessReadsBeforePause = 64;
// The writer's wait for a queued packet, so it notices a stop.
constexpr uint32_t kWriterSliceMs = 50;
constexpr uint32_t kIoErrorPauseMs = 100;
constexpr int kStartupWaitMs = 2000;
constexpr int kSyncWaitMs = 2000;
constexpr uint32_t kSyncSettleMs = 100;
constexpr int kMagicRequests = 6;
constexpr size_t kPoolSize = 4096;
// After an append the pool must still fit the largest image.
constexpr size_t kPoolFill = kPoolSize - aPACKET_MAX_IMAGE;

void trace(const char* what, aErr err, uint32_t id) {
    if (aCorvaneDebuggingEnable && aCorvaneDebuggingLevel > 0)
        printf("aLink %u: %s (%s)\n", id, what, aError_GetErrorText(err));
}

bool acceptAll(const aPacket*, void*) {
    return true;
}

// Sleeps ms in short slices and gives up early once the link is told to stop.
void pauseWhileRunning(aLinkRecord* link, uint32_t ms) {
    for (uint32_t slept = 0; slept < ms && link->running; slept += 10)
        aTime_MSSleep(10);
}

aErr queueBytes(aLinkRecord* link, uint8_t address, uint8_t length, const uint8_t* data) {
    aPacket* p = aPacket_CreateWithData(address, length, data);
    if (!p) return aErrMemory;
    aErr err = aPacketFifo_Put(link->output, p);
    aPacket_Destroy(&p);
    return err;
}

// ---- Reader -----------------------------------------------------------------------------

// Puts the stream back in step: six magic requests, each answered with A, 0.
void startSync(aLinkRecord* link) {
    link->status = LINK_SYNCING;
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->receive);
    const uint8_t none = 0;
    for (int i = 0; i < kMagicRequests; i++)
        if (queueBytes(link, aLINK_MAGIC_ADDRESS, 0, &none) != aErrNone) return;
    link->syncState = kSyncStateByte1;
}

void syncDone(aLinkRecord* link) {
    link->syncState = kSyncStateDone;
    int expected = LINK_SYNCING;
    // A stop that began meanwhile keeps its status.
    link->status.compare_exchange_strong(expected, LINK_RUNNING);
}

void syncByte(aLinkRecord* link, uint8_t byte) {
    switch (link->syncState.load()) {
    case kSyncStateByte1:
        if (byte == 0 || (byte & 1)) return startSync(link);
        link->syncAddress = byte;
        link->syncState = kSyncStateByte2;
        return;
    case kSyncStateByte2:
        link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
        return;
    case kSyncStateByte3:
        link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
        return;
    case kSyncStateByte4:
        if (byte == 0) return syncDone(link);
        link->syncState = kSyncStateStart;
        return;
    default:
        return startSync(link);
    }
}

// Two data bytes 0, v: answered at once with 0, v + 2 and kept from the users.
bool answerHeartbeat(aLinkRecord* link, const aPacket* p) {
    if (p->dataSize != 2 || p->data[0] != 0 || link->heartbeatState >= 2) return false;
    uint8_t v = p->data[1];
    if (v == 0) link->heartbeatState = 2;
    if (v == 1) link->heartbeatState = 3;
    const uint8_t answer[2] = {0, uint8_t(v + 2)};
    aErr err = queueBytes(link, p->address, 2, answer);
    if (err != aErrNone) trace("heartbeat answer not queued", err, link->id);
    link->heartbeatState = 0;
    return true;
}

aErr handlePacket(aLinkRecord* link) {
    aPacket* p = link->receive;
    uint8_t image[aPACKET_MAX_IMAGE];
    size_t length = 0;
    if (aPacket_GetBytes(p, image, sizeof image, &length) == aErrNone)
        aLinkRecord_Log(link, aPACKETLOG_IN, image, length);
    bool consumed = false;
    aMutex_Lock(link->userFilterLock);
    if (link->userFilter) consumed = link->userFilter(p, link->userRef);
    aMutex_Unlock(link->userFilterLock);
    aErr err = aErrNone;
    if (!consumed && !answerHeartbeat(link, p)) err = aPacketFifo_Put(link->input, p);
    aPacket_Reset(p);
    return err;
}

void addByte(aLinkRecord* link, uint8_t byte) {
    aErr err = aPacket_AddByte(link->receive, byte);
    // A zero or odd address, or a bad length, means we are out of step with the module.
    if (err != aErrNone || (link->receive->address & 1)) return startSync(link);
    if (!aPacket_IsComplete(link->receive)) return;
    if (handlePacket(link) != aErrNone) link->status = LINK_PACKET_ERROR;
}

// Waits for bytes after a read found none. Answers false when the stream stayed quiet
// for a whole slice: a handshake in progress is then repeated.
bool awaitBytes(aLinkRecord* link, int* fruitless) {
    aErr err = aStream_WaitReadable(link->stream, kReaderSliceMs);
    if (err == aErrNone) {
        if (++*fruitless > kFruitlessReadsBeforePause) aTime_MSSleep(kPollPauseMs);
        return true;
    }
    *fruitless = 0;
    if (err == aErrTimeout) return false;
    if (err == aErrMode) {
        // A polled stream: empty reads are paced, and a slice of them counts as quiet.
        static thread_local uint32_t empty = 0;
        aTime_MSSleep(kPollPauseMs);
        if (++empty * kPollPauseMs < kReaderSliceMs) return true;
        empty = 0;
        return false;
    }
    pauseWhileRunning(link, kReaderSliceMs);
    return false;
}

void readerThread(void* arg) {
    aLinkRecord* link = static_cast<aLinkRecord*>(arg);
    link->heartbeatState = 0;
    link->syncState = kSyncStateDone;
    link->readerReady = true;
    link->status = LINK_RUNNING;
    int fruitless = 0;
    while (link->running) {
        if (link->syncRequest.exchange(false)) startSync(link);
        uint8_t byte = 0;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            if (awaitBytes(link, &fruitless)) continue;
            int status = link->status;
            if (status == LINK_SYNCING || status == LINK_IO_ERROR) startSync(link);
            continue;
        }
        fruitless = 0;
        if (err != aErrNone) {
            link->status = LINK_IO_ERROR;
            pauseWhileRunning(link, kIoErrorPauseMs);
        } else if (link->status == LINK_SYNCING) {
            syncByte(link, byte);
        } else {
            addByte(link, byte);
        }
    }
}

// ---- Writer -----------------------------------------------------------------------------

void writeImages(aLinkRecord* link, const uint8_t* bytes, size_t length) {
    aErr err = aStream_Write(link->stream, bytes, length);
    if (err != aErrNone) trace("write failed", err, link->id);
}

// Sends p, and in pooled mode whatever else is queued, in one write; only p is logged.
void sendPacket(aLinkRecord* link, aPacket* p, bool pool) {
    uint8_t buffer[kPoolSize];
    size_t length = 0;
    if (aPacket_GetBytes(p, buffer, sizeof buffer, &length) != aErrNone) return;
    aLinkRecord_Log(link, aPACKETLOG_OUT, buffer, length);
    while (pool && length <= kPoolFill) {
        aPacket* more = aPacketFifo_Get(link->output);
        if (!more) break;
        size_t added = 0;
        aPacket_GetBytes(more, buffer + length, sizeof buffer - length, &added);
        length += added;
        aPacket_Destroy(&more);
    }
    writeImages(link, buffer, length);
}

void writerThread(void* arg) {
    aLinkRecord* link = static_cast<aLinkRecord*>(arg);
    link->writerReady = true;
    while (link->running) {
        aPacket* p = aPacketFifo_Await(link->output, kWriterSliceMs);
        if (!p) continue;
        sendPacket(link, p, link->pooled);
        aPacket_Destroy(&p);
    }
    // What was queued before the stop, the force route off among it, still goes out.
    while (aPacket* p = aPacketFifo_Get(link->output)) {
        sendPacket(link, p, false);
        aPacket_Destroy(&p);
    }
}

bool awaitStartup(aLinkRecord* link) {
    auto deadline = Clock::now() + std::chrono::milliseconds(kStartupWaitMs);
    while (Clock::now() < deadline) {
        if (link->readerReady && link->writerReady && link->status == LINK_RUNNING) return true;
        aTime_MSSleep(1);
    }
    return false;
}

aErr joinThreads(aLinkRecord* link) {
    aErr result = aErrNone;
    if (link->reader && aThread_Destroy(&link->reader) != 0) result = aErrUnknown;
    if (link->writer && aThread_Destroy(&link->writer) != 0) result = aErrUnknown;
    link->reader = link->writer = nullptr;
    return result;
}

} // namespace

// ---- Record -------------------------------------------------------------------------------

aLinkRecord::~aLinkRecord() {
    aPacket_Destroy(&receive);
    aPacketLog_Destroy(&log);
    aMutex_Destroy(&logLock);
    aMutex_Destroy(&userFilterLock);
}

aErr aLinkRecord_Init(aLinkRecord* link, uint32_t id, aStreamRef stream) {
    char name[64];
    link->id = id;
    link->running = false;
    link->status = stream ? LINK_STOPPED : LINK_NO_STREAM;
    link->input = aPacketFifo_Create();
    link->output = aPacketFifo_Create();
    if (!link->receive) link->receive = aPacket_Create();
    aPacket_Reset(link->receive);
    if (!link->logLock) {
        snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
        link->logLock = aMutex_Create(name);
    }
    if (!link->userFilterLock) {
        snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
        link->userFilterLock = aMutex_Create(name);
    }
    aMutex_Lock(link->logLock);
    aPacketLog_Destroy(&link->log);
    link->logSize = 0;
    aMutex_Unlock(link->logLock);
    aMutex_Lock(link->userFilterLock);
    link->userFilter = nullptr;
    link->userRef = nullptr;
    aMutex_Unlock(link->userFilterLock);
    link->pooled = false;
    link->heartbeatState = 0;
    link->syncState = kSyncStateDone;
    link->syncRequest = false;
    link->reader = link->writer = nullptr;
    link->stream = stream;
    link->check = aLINK_CHECK;
    if (!link->input || !link->output || !link->receive) return aErrMemory;
    if (!link->logLock || !link->userFilterLock) return aErrResource;
    return aErrNone;
}

aStreamRef aLinkRecord_Release(aLinkRecord* link, bool keepStream) {
    aPacketFifoId in = link->input.exchange(0), out = link->output.exchange(0);
    if (in) aPacketFifo_Destroy(&in);
    if (out) aPacketFifo_Destroy(&out);
    aStreamRef stream = link->stream;
    link->stream = nullptr;
    if (!keepStream && stream) aStream_Destroy(&stream);
    return stream;
}

aErr aLinkRecord_ForceRoute(aLinkRecord* link, bool on) {
    const uint8_t value = on ? 1 : 0;
    return queueBytes(link, cmdFORCEROUTE, 1, &value);
}

aErr aLinkRecord_Start(aLinkRecord* link) {
    if (link->running) return aErrNone;
    if (!link->stream) return aErrParam;
    link->running = true;
    link->status = LINK_STARTING;
    link->heartbeatState = 0;
    link->readerReady = link->writerReady = false;
    link->reader = aThread_Create(readerThread, link);
    link->writer = link->reader ? aThread_Create(writerThread, link) : nullptr;
    if (!link->reader || !link->writer) {
        link->running = false;
        joinThreads(link);
        link->status = LINK_STOPPED;
        return aErrResource;
    }
    if (!awaitStartup(link)) return aErrIndexRange;
    return aLinkRecord_ForceRoute(link, true);
}

aErr aLinkRecord_Stop(aLinkRecord* link) {
    int status = link->status;
    if (status == LINK_STOPPED || status == LINK_STOPPING) return aErrNone;
    link->status = LINK_STOPPING;
    aErr result = aErrNone;
    if (link->reader && link->writer) {
        // Queued before running is cleared, so the writer's final drain sends it.
        result = aLinkRecord_ForceRoute(link, false);
        link->running = false;
        if (joinThreads(link) != aErrNone) result = aErrUnknown;
    }
    link->running = false;
    link->readerReady = link->writerReady = false;
    aPacket_Reset(link->receive);
    link->heartbeatState = 0;
    link->status = link->stream ? LINK_STOPPED : LINK_NO_STREAM;
    return result;
}

aErr aLinkRecord_Sync(aLinkRecord* link) {
    // Only a reader can run the handshake.
    if (!link->running) return aErrNotReady;
    link->status = LINK_SYNCING;
    link->syncRequest = true;
    aErr result = aErrNotReady;
    auto deadline = Clock::now() + std::chrono::milliseconds(kSyncWaitMs);
    while (Clock::now() < deadline) {
        if (link->status == LINK_RUNNING) {
            result = aErrNone;
            break;
        }
        aTime_MSSleep(1);
    }
    // Magic requests still queued are stale; the surplus replies arrive shortly after.
    aPacketFifo_DrainPackets(link->output, acceptAll, nullptr);
    aTime_MSSleep(kSyncSettleMs);
    aPacketFifo_DrainPackets(link->input, acceptAll, nullptr);
    return result;
}

void aLinkRecord_Log(aLinkRecord* link, uint8_t direction, const uint8_t* bytes, size_t length) {
    aMutex_Lock(link->logLock);
    if (link->log) aPacketLog_Put(link->log, direction, length, bytes);
    aMutex_Unlock(link->logLock);
}
