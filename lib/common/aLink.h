// aLink - packet links to modules over any byte stream, shared through a link table
#pragma once

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aPacket.h"
#include "aStream.h"
#include "packetfifo.h"

// A link is named by a small id; 0 names none. Ids are never reused.
typedef uint32_t aLinkRef;

// Link status, the value of aLink_GetStatus. Only LINK_RUNNING counts as connected.
enum : int {
    LINK_STOPPED = 0,      // has a stream, threads not running
    LINK_STARTING = 1,     // threads starting
    LINK_RUNNING = 2,      // threads running and the stream in step with the module
    LINK_STOPPING = 3,     // stop in progress
    LINK_SYNCING = 4,      // handshake with the module in progress
    LINK_NO_STREAM = 5,    // no stream; also the answer for an unknown id
    LINK_IO_ERROR = 6,     // the last stream read failed
    LINK_PACKET_ERROR = 8, // a received packet could not be queued
};

// Addresses reserved for link control.
#define aLINK_MAGIC_ADDRESS 0xAD // zero-length packet: "which address are you?"
#define cmdFORCEROUTE 0xAF       // one data byte: 1 when a link starts, 0 when it stops

// Trace switches of the device library; nothing in the tool sets them.
extern bool aCorvaneDebuggingEnable;
extern int aCorvaneDebuggingLevel;

// Creators answer the id of a running link, or 0 on failure (leaving no entry behind).
// A module already linked is shared: its id comes back with one more user.

// USB module by serial number; synchronised with the module before it is answered.
aLinkRef aLink_CreateUSB(uint32_t serialNumber);
// Module on TCP/IP: address IPv4 in network byte order, port in host order.
aLinkRef aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// Module on a serial port carrying framed packets; baud one of 2400 .. 230400.
aLinkRef aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baud);
// Link over a stream the caller made. The link owns the stream once it is answered; on
// failure (0) the caller keeps it.
aLinkRef aLink_Create(aStreamRef stream);
// Link-server links: not carried by this build, they answer 0.
aLinkRef aLink_CreateClient(uint32_t address, uint16_t port, aLinkRef ref);
aLinkRef aLink_CreateServer(aLinkRef deviceId, uint16_t* port, uint32_t* interfaceAddress,
                            bool localOnly);

// Drops one user; the last one stops the link and frees it. Always sets *id to 0.
// aErrParam for an unknown id.
aErr aLink_Destroy(aLinkRef* id);

// Stops the link, makes a new stream the same way (USB and TCP/IP links only) and starts
// again; the packet log and user filter go. aErrParam for an unknown id or a link whose
// stream cannot be remade (it stays stopped), else the start's result.
aErr aLink_Reset(aLinkRef id);

// aErrIndexRange when the threads do not come up within 2 s, aErrResource when they
// cannot start; else the result of queueing the force route on.
aErr aLink_Start(aLinkRef id);
// Queues the force route off, which the writer sends before it ends, and joins both
// threads. aErrNone for a stopped link; aErrUnknown when a join fails.
aErr aLink_Stop(aLinkRef id);
// Brings the stream back in step with the module: aErrNone once in step within 2 s,
// else aErrNotReady. Stale requests and surplus replies are dropped either way.
aErr aLink_Sync(aLinkRef id);
// Queues the force-route packet. aErrNotFound for an unknown id, aErrMemory.
aErr aLink_ForceRoute(aLinkRef id, bool on);

// Status of the link; LINK_NO_STREAM for an unknown id.
int aLink_GetStatus(aLinkRef id);
// Number of users of the link; 0 for an unknown id.
int aLink_GetUseCount(aLinkRef id);

// Queues a copy for the writer whatever the status. aErrParam, aErrResource.
aErr aLink_PutPacket(aLinkRef id, const aPacket* packet);

// Received packets; each answered packet belongs to the caller (aPacket_Destroy), null
// when there is none or the id is unknown.
aPacket* aLink_GetPacket(aLinkRef id);
aPacket* aLink_AwaitPacket(aLinkRef id, uint32_t timeoutMs);
aPacket* aLink_GetFirst(aLinkRef id, aPacketFilterProc filter, void* ref);
// Waits only while the link is LINK_RUNNING: any other status answers null at once.
aPacket* aLink_AwaitFirst(aLinkRef id, aPacketFilterProc filter, void* ref, uint32_t timeoutMs);
// Removes every received packet the filter accepts; answers how many (0 for unknown id).
size_t aLink_DrainPackets(aLinkRef id, aPacketFilterProc filter, void* ref);

// A filter offered every received packet on the reader thread before it is queued; a
// packet it accepts is consumed. Null removes it. The filter runs under a lock that
// installing also takes, so it is never removed mid-call. aErrParam.
aErr aLink_InstallUserPacketFilter(aLinkRef id, aPacketFilterProc filter, void* ref);

// Pooled: the writer sends whatever is queued in one stream write of up to 4096 bytes.
aErr aLink_EnablePooledPackets(aLinkRef id, bool on);

// Packet log of the link. SetLogSize: aErrParam above aPACKETLOG_MAX_SIZE, aErrBusy once
// the log exists; a negative size counts as 0. Enable makes the log (65536 bytes unless
// set), aErrResource when it cannot. Disable, Read and Write answer aErrNotReady without
// a log. Read takes the oldest record (see aPacketLog_Get for length and errors).
aErr aLink_PacketDebug_SetLogSize(aLinkRef id, int64_t bytes);
aErr aLink_PacketDebug_Enable(aLinkRef id);
aErr aLink_PacketDebug_Disable(aLinkRef id);
aErr aLink_PacketDebug_Read(aLinkRef id, uint8_t* direction, size_t* length, uint8_t* buffer);
aErr aLink_PacketDebug_Write(aLinkRef id, uint8_t direction, size_t length, const uint8_t* bytes);
