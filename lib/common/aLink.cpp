// aLink - packet links to modules over any byte stream, shared through a link table
#include "aLink.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <new>

#include "aLinkManagerInternal.h"
#include "aStreamSerial.h"
#include "aStreamUSB.h"
#include "aStreamsocket.h"
#include "aTime.h"

bool aCorvaneDebuggingEnable = false;
int aCorvaneDebuggingLevel = 0;

namespace {

using Clock = std::chrono::steady_clock;
using LinkPtr = std::shared_ptr<aLinkRecord>;

// Table types.
enum : int {
    kTypeStream = 0,
    kTypeUSB = 1,
    kTypeTCPIP = 2,
    kTypeSerial = 3,
    kTypeClient = 4,
};

constexpr uint32_t kNoIdent = 0xFFFFFFFF; // ident0 of a caller's-stream link
constexpr int kResetAttempts = 20;
constexpr uint32_t kResetPauseMs = 100;
// aLink_AwaitFirst looks at the link's status at least this often while it waits.
constexpr uint32_t kAwaitSliceMs = 100;

struct Entry {
    aLinkRef id = 0;
    aLinkRef linkedId = 0;  // destroyed together with this one
    void* server = nullptr; // link server serving this link; none in this build
    uint32_t ident0 = 0, ident1 = 0, ident2 = 0;
    int type = kTypeStream;
    int16_t useCount = 0;
    LinkPtr link;
    Entry* next = nullptr;
};

// The table: newest first, ids from 1 up and never reused. Guards the list, the ids
// and the use counts, never held while a link's own locks are.
struct Table {
    aMutexRef lock = aMutex_Create("aLink_Managed");
    Entry* head = nullptr;
    aLinkRef nextId = 1;
};

Table& table() {
    static Table t;
    return t;
}

class TableLock {
  public:
    TableLock() { aMutex_Lock(table().lock); }
    ~TableLock() { aMutex_Unlock(table().lock); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

// Creating links one at a time keeps two callers from opening the same module twice.
std::mutex gCreateLock;

Entry* findById(aLinkRef id) {
    for (Entry* e = table().head; e; e = e->next)
        if (e->id == id) return e;
    return nullptr;
}

Entry* findByIdents(int type, uint32_t i0, const uint32_t* i1, const uint32_t* i2) {
    for (Entry* e = table().head; e; e = e->next)
        if (e->type == type && e->ident0 == i0 && (!i1 || e->ident1 == *i1) &&
            (!i2 || e->ident2 == *i2))
            return e;
    return nullptr;
}

void unlinkEntry(Entry* gone) {
    for (Entry** e = &table().head; *e; e = &(*e)->next)
        if (*e == gone) {
            *e = gone->next;
            return;
        }
}

LinkPtr linkOf(aLinkRef id) {
    TableLock lock;
    Entry* e = findById(id);
    if (!e || !e->link || e->link->check != aLINK_CHECK) return nullptr;
    return e->link;
}

// Stops a link that left the table and frees what it owns. Answers the result of
// destroying the output FIFO.
aErr tearDown(Entry* e, bool keepStream) {
    LinkPtr link = e->link;
    aLinkRef linked = e->linkedId;
    delete e;
    if (!link) {
        if (linked) aLink_Destroy(&linked);
        return aErrUnknown;
    }
    aMutex_Lock(link->userFilterLock);
    link->userFilter = nullptr;
    aMutex_Unlock(link->userFilterLock);
    {
        std::lock_guard<std::mutex> control(link->control);
        aLinkRecord_Stop(link.get());
        link->check = 0;
    }
    if (linked) aLink_Destroy(&linked);
    aPacketFifoId out = link->output.exchange(0);
    aErr result = out ? aPacketFifo_Destroy(&out) : aErrNone;
    aLinkRecord_Release(link.get(), keepStream);
    aMutex_Lock(link->logLock);
    aPacketLog_Destroy(&link->log);
    aMutex_Unlock(link->logLock);
    return result;
}

// Adds an entry for an open stream, starts it and, when asked, synchronises it. On
// failure nothing is left in the table; the stream is destroyed unless it is the
// caller's.
aLinkRef adopt(int type, uint32_t i0, uint32_t i1, uint32_t i2, aStreamRef stream, bool sync,
               bool callersStream) {
    Entry* e = new (std::nothrow) Entry;
    LinkPtr link = e ? std::make_shared<aLinkRecord>() : nullptr;
    if (!e || !link) {
        delete e;
        if (!callersStream) aStream_Destroy(&stream);
        return 0;
    }
    {
        TableLock lock;
        e->id = table().nextId++;
        e->type = type;
        e->ident0 = i0;
        e->ident1 = i1;
        e->ident2 = i2;
        e->link = link;
        e->useCount = 1;
        e->next = table().head;
        table().head = e;
    }
    aLinkRef id = e->id;
    aErr err = aLinkRecord_Init(link.get(), id, stream);
    if (err == aErrNone) {
        std::lock_guard<std::mutex> control(link->control);
        err = aLinkRecord_Start(link.get());
    }
    if (err == aErrNone && sync) err = aLink_Sync(id);
    if (err == aErrNone) return id;
    {
        TableLock lock;
        unlinkEntry(e);
    }
    tearDown(e, callersStream);
    return 0;
}

using Opener = std::function<aErr(aStreamRef*)>;

// Shares the module's link when the table has one, else opens a stream and adopts it.
aLinkRef createShared(int type, uint32_t i0, const uint32_t* i1, const uint32_t* i2,
                      bool refuseServed, bool sync, const Opener& open) {
    std::lock_guard<std::mutex> creating(gCreateLock);
    {
        TableLock lock;
        Entry* e = findByIdents(type, i0, i1, i2);
        if (e) {
            // A served module is reached through a client link only.
            if (refuseServed && e->server) return 0;
            e->useCount++;
            return e->id;
        }
    }
    aStreamRef stream = nullptr;
    if (open(&stream) != aErrNone || !stream) return 0;
    return adopt(type, i0, i1 ? *i1 : 0, i2 ? *i2 : 0, stream, sync, false);
}

// A new stream for a link being reset; serial and caller's streams cannot be remade.
aErr reopen(int type, uint32_t i0, uint32_t i1, uint32_t i2, aStreamRef* stream) {
    switch (type) {
    case kTypeUSB:
        return aStream_CreateUSB(i0, stream);
    case kTypeTCPIP:
        return aStream_CreateSocket(i1, uint16_t(i2), stream);
    default:
        return aErrParam; // link-server client streams are not carried by this build
    }
}

} // namespace

aLinkRef aLink_CreateUSB(uint32_t serialNumber) {
    return createShared(kTypeUSB, serialNumber, nullptr, nullptr, true, true,
                        [&](aStreamRef* s) { return aStream_CreateUSB(serialNumber, s); });
}

aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
    const uint32_t wide = port;
    return createShared(kTypeTCPIP, serialNumber, &address, &wide, true, false,
                        [&](aStreamRef* s) { return aStream_CreateSocket(address, port, s); });
}

aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baud) {
    return createShared(
        kTypeSerial, serialNumber, nullptr, nullptr, false, false, [&](aStreamRef* s) {
            int index = aStreamSerial_BaudIndex(baud);
            if (index < 0 || !portPath) return aErrParam;
            return aStream_CreateSerial_Packetized(portPath, uint32_t(index), false, 0, 0, s);
        });
}

aLinkRef aLink_Create(aStreamRef stream) {
    if (!stream) return 0;
    std::lock_guard<std::mutex> creating(gCreateLock);
    return adopt(kTypeStream, kNoIdent, 0, 0, stream, false, true);
}

aLinkRef aLink_CreateClient(uint32_t, uint16_t, aLinkRef) {
    return 0;
}

aLinkRef aLink_CreateServer(aLinkRef, uint16_t*, uint32_t*, bool) {
    return 0;
}

aErr aLink_Destroy(aLinkRef* id) {
    if (!id) return aErrParam;
    aLinkRef ref = *id;
    *id = 0;
    Entry* e = nullptr;
    {
        TableLock lock;
        e = findById(ref);
        if (!e) return aErrParam;
        if (--e->useCount > 0) return aErrNone;
        unlinkEntry(e);
    }
    return tearDown(e, false);
}

aErr aLink_Reset(aLinkRef id) {
    int type = 0;
    uint32_t i0 = 0, i1 = 0, i2 = 0;
    LinkPtr link;
    {
        TableLock lock;
        Entry* e = findById(id);
        if (!e || !e->link || e->link->check != aLINK_CHECK) return aErrParam;
        link = e->link;
        type = e->type;
        i0 = e->ident0;
        i1 = e->ident1;
        i2 = e->ident2;
    }
    std::lock_guard<std::mutex> control(link->control);
    aLinkRecord_Stop(link.get());
    aLinkRecord_Release(link.get(), false);
    link->status = LINK_STOPPED;
    aStreamRef stream = nullptr;
    aErr err = aErrParam;
    for (int attempt = 0; attempt < kResetAttempts; attempt++) {
        err = reopen(type, i0, i1, i2, &stream);
        // A stream that cannot be remade will not become remakeable by waiting.
        if (err == aErrNone || err == aErrParam) break;
        aTime_MSSleep(kResetPauseMs);
    }
    if (err != aErrNone) return err;
    err = aLinkRecord_Init(link.get(), id, stream);
    if (err != aErrNone) return err;
    return aLinkRecord_Start(link.get());
}

aErr aLink_Start(aLinkRef id) {
    LinkPtr link = linkOf(id);
    if (!link) return aErrParam;
    std::lock_guard<std::mutex> control(link->control);
    return aLinkRecord_Start(link.get());
}

aErr aLink_Stop(aLinkRef id) {
    LinkPtr link = linkOf(id);
    if (!link) return aErrParam;
    std::lock_guard<std::mutex> control(link->control);
    return aLinkRecord_Stop(link.get());
}

aErr aLink_Sync(aLinkRef id) {
    LinkPtr link = linkOf(id);
    if (!link) return aErrParam;
    return aLinkRecord_Sync(link.get());
}

aErr aLink_ForceRoute(aLinkRef id, bool on) {
    LinkPtr link;
    {
        TableLock lock;
        Entry* e = findById(id);
        if (!e) return aErrNotFound;
        link = e->link;
    }
    if (!link || link->check != aLINK_CHECK) return aErrParam;
    return aLinkRecord_ForceRoute(link.get(), on);
}

int aLink_GetStatus(aLinkRef id) {
    LinkPtr link = linkOf(id);
    return link ? link->status.load() : LINK_NO_STREAM;
}

int aLink_GetUseCount(aLinkRef id) {
    TableLock lock;
    Entry* e = findById(id);
    return e ? e->useCount : 0;
}

aErr aLink_PutPacket(aLinkRef id, const aPacket* packet) {
    LinkPtr link = linkOf(id);
    if (!link || !packet) return aErrParam;
    return aPacketFifo_Put(link->output, packet);
}

aPacket* aLink_GetPacket(aLinkRef id) {
    LinkPtr link = linkOf(id);
    return link ? aPacketFifo_Get(link->input) : nullptr;
}

aPacket* aLink_AwaitPacket(aLinkRef id, uint32_t timeoutMs) {
    LinkPtr link = linkOf(id);
    return link ? aPacketFifo_Await(link->input, timeoutMs) : nullptr;
}

aPacket* aLink_GetFirst(aLinkRef id, aPacketFilterProc filter, void* ref) {
    LinkPtr link = linkOf(id);
    return link && filter ? aPacketFifo_GetFirst(link->input, filter, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilterProc filter, void* ref, uint32_t timeoutMs) {
    LinkPtr link = linkOf(id);
    if (!link || !filter) return nullptr;
    // The steady clock: a wall-clock step must not stretch or cut the wait.
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (link->running && link->status == LINK_RUNNING) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        uint32_t slice = uint32_t(std::clamp<int64_t>(left.count(), 0, kAwaitSliceMs));
        aPacket* p = aPacketFifo_AwaitFirst(link->input, filter, ref, slice);
        if (p) return p;
        if (left.count() <= int64_t(kAwaitSliceMs)) break;
    }
    return nullptr;
}

size_t aLink_DrainPackets(aLinkRef id, aPacketFilterProc filter, void* ref) {
    LinkPtr link = linkOf(id);
    return link && filter ? aPacketFifo_DrainPackets(link->input, filter, ref) : 0;
}

aErr aLink_InstallUserPacketFilter(aLinkRef id, aPacketFilterProc filter, void* ref) {
    LinkPtr link = linkOf(id);
    if (!link) return aErrParam;
    aMutex_Lock(link->userFilterLock);
    link->userFilter = filter;
    link->userRef = filter ? ref : nullptr;
    aMutex_Unlock(link->userFilterLock);
    return aErrNone;
}

aErr aLink_EnablePooledPackets(aLinkRef id, bool on) {
    LinkPtr link = linkOf(id);
    if (!link) return aErrParam;
    link->pooled = on;
    return aErrNone;
}

// ---- Packet log ---------------------------------------------------------------------------

namespace {

// Runs op on the link's log under its lock; aErrParam for an unknown id.
template <typename Op> aErr withLog(aLinkRef id, Op op) {
    LinkPtr link = linkOf(id);
    if (!link) return aErrParam;
    aMutex_Lock(link->logLock);
    aErr err = op(*link);
    aMutex_Unlock(link->logLock);
    return err;
}

} // namespace

aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int64_t bytes) {
    return withLog(id, [&](aLinkRecord& link) {
        if (bytes > aPACKETLOG_MAX_SIZE) return aErrParam;
        if (link.log) return aErrBusy;
        link.logSize = bytes < 0 ? 0 : size_t(bytes);
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Enable(aLinkRef id) {
    return withLog(id, [&](aLinkRecord& link) {
        if (link.logSize == 0) link.logSize = aPACKETLOG_DEFAULT_SIZE;
        if (!link.log) link.log = aPacketLog_Create(link.logSize);
        if (!link.log) return aErrResource;
        link.log->enabled = true;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Disable(aLinkRef id) {
    return withLog(id, [&](aLinkRecord& link) {
        if (!link.log) return aErrNotReady;
        link.log->enabled = false;
        return aErrNone;
    });
}

aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* direction, size_t* length, uint8_t* buffer) {
    return withLog(id, [&](aLinkRecord& link) {
        if (!link.log) return aErrNotReady;
        return aPacketLog_Get(link.log, direction, length, buffer);
    });
}

aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t direction, size_t length, const uint8_t* bytes) {
    return withLog(id, [&](aLinkRecord& link) {
        if (!link.log) return aErrNotReady;
        return aPacketLog_Put(link.log, direction, length, bytes);
    });
}
