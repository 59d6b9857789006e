// aLinkManagerInternal - one link's record, its reader and writer threads and handshake
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "aError.h"
#include "aMutex.h"
#include "aPacket.h"
#include "aPacketDebug.h"
#include "aStream.h"
#include "aThread.h"
#include "packetfifo.h"

#define aLINK_CHECK 0xCEED

// Sync handshake states; the module answers each magic request with A, 0.
enum : int {
    kSyncStateDone = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

// Fields read by one thread and written by another are atomic. The record is shared
// (std::shared_ptr) between the table and any call in progress, so a call that raced a
// destroy finds a cleared marker instead of freed memory; the locks and the receive
// packet live until the last holder lets go.
struct aLinkRecord {
    std::atomic<uint16_t> check{0}; // aLINK_CHECK while live
    uint32_t id = 0;
    std::atomic<bool> running{false}; // both threads run while it is set
    std::atomic<int> status{0};
    std::atomic<aPacketFifoId> input{0};  // received packets
    std::atomic<aPacketFifoId> output{0}; // packets waiting to be sent
    aPacket* receive = nullptr;           // the reader's packet being assembled
    aThreadRef reader = nullptr;
    aThreadRef writer = nullptr;
    std::atomic<bool> readerReady{false};
    std::atomic<bool> writerReady{false};
    aStreamRef stream = nullptr; // owned; only the threads use it while they run
    std::atomic<int> heartbeatState{0};
    std::atomic<int> syncState{0};
    uint8_t syncAddress = 0;              // the reader's alone
    std::atomic<bool> syncRequest{false}; // asks the reader to start a handshake
    aPacketLog* log = nullptr;            // guarded by logLock
    size_t logSize = 0;                   // guarded by logLock
    aMutexRef logLock = nullptr;
    aPacketFilterProc userFilter = nullptr; // guarded by userFilterLock
    void* userRef = nullptr;
    aMutexRef userFilterLock = nullptr;
    std::atomic<bool> pooled{false};
    std::mutex control; // one start, stop or reset at a time

    ~aLinkRecord();
};

// Sets up a record for a stream (which it takes; null leaves LINK_NO_STREAM): new FIFOs,
// receive packet and locks, no log, no filter. aErrMemory or aErrResource on failure.
aErr aLinkRecord_Init(aLinkRecord* link, uint32_t id, aStreamRef stream);

// Releases what Init made except the locks and the receive packet, which the destructor
// frees; the stream is destroyed unless keepStream is set (then it is answered).
aStreamRef aLinkRecord_Release(aLinkRecord* link, bool keepStream);

// Starts both threads and waits up to 2 s for them (see aLink_Start).
aErr aLinkRecord_Start(aLinkRecord* link);
// Stops both threads after queueing the force route off (see aLink_Stop).
aErr aLinkRecord_Stop(aLinkRecord* link);
// Queues the one-byte force-route packet.
aErr aLinkRecord_ForceRoute(aLinkRecord* link, bool on);
// Asks the reader for a handshake and waits for it (see aLink_Sync).
aErr aLinkRecord_Sync(aLinkRecord* link);
// Adds a record to the packet log under its lock, when there is a log.
void aLinkRecord_Log(aLinkRecord* link, uint8_t direction, const uint8_t* bytes, size_t length);
