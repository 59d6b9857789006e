// Link - one packet link to a module: connection, UEI exchanges, packet log
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "aError.h"
#include "aPacket.h"
#include "discover.h"
#include "packetfifo.h"

namespace Pelmora::Corvane {

// How a link shares its connection through an in-process link server. This build
// carries no link server: the settings are kept, but links are never wrapped.
struct aLoomConfig {
    uint8_t enabled = 1;   // wrap USB, TCP/IP and serial links in a server
    uint8_t fallback = 1;  // discoverAndConnect may retry once with the alternate type
    uint8_t localOnly = 1; // the server listens on loopback only
    uint16_t assignedPort = 0;
    uint32_t networkInterface = 0x0100007F; // 127.0.0.1, network byte order
};

// Value types of a uei.
enum : uint32_t {
    ueiTypeNone = 0,
    ueiTypeByte = 1,
    ueiTypeShort = 2,
    ueiTypeInt = 4,
    ueiTypeBytes = 5,
};

// One UEI request or reply.
struct uei {
    uint8_t module = 0;    // even, not 0
    uint8_t command = 0;   // entity class command
    uint8_t option = 0;    // bits 7 and 6 carry the operation
    uint8_t specifier = 0; // index in bits 4..0; bit 5 asks for a reply; bit 7 marks an error
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        uint8_t* bytes; // the caller's buffer, advanced as bytes are stored
    } v = {};
    uint8_t sequence = 0;       // bytes replies: sequence expected next
    uint8_t more = 0;           // bytes replies: the last packet announced more
    size_t length = 0;          // bytes: count to send, or receive capacity
    size_t* received = nullptr; // bytes replies: caller's running count
    uint32_t type = ueiTypeNone;
};

// A stream packet delivery: answers whatever the streaming facility wants; unused here.
using StreamCallback = std::function<uint8_t(const aPacket* packet, void* context)>;

class Link {
  public:
    explicit Link(const char* name);
    Link(linkSpec spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // aErrParam for a null out.
    aErr getConfig(aLoomConfig* out) const;
    // aErrMode while connected (the configuration is kept).
    aErr setConfig(aLoomConfig config);
    // aErrNotFound when no specifier is stored.
    aErr getLinkSpecifier(linkSpec* out) const;
    // aErrBusy while connected.
    aErr setLinkSpecifier(linkSpec spec);
    const char* getName() const;

    // Finds the module (serial 0: the first of that model, model 0: any) and connects.
    // aErrNotFound when discovery finds none; may retry once with the alternate type.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    // aErrConnection when a link is held already, aErrConfiguration without a specifier,
    // aErrMode for an unknown type, else the outcome of waiting for the link to run.
    aErr connect();
    // Uses the router's link; aErrInitialization when the router holds none.
    aErr connectThroughLinkModule(Link& router);
    bool isConnected() const;
    // The engine's status, 8 without a link.
    int getStatus() const;
    aErr disconnect();
    aErr reset();

    // The exchanges answer aErrConnection when not connected and aErrPacket for a module
    // address that is 0 or odd.

    // The address of the module answering on this link; aErrNotReady when none answers.
    aErr getModuleAddress(uint8_t* address);
    // aErrParam for an unknown value type (nothing is sent), aErrResource when a packet
    // cannot be made, else the first failed put.
    aErr sendUEI(uei request);
    aErr sendUEI(uei request, uint8_t subindex);
    // Waits 1000 ms (4000 ms for a bytes value above 1000 bytes) for the matching reply
    // and decodes it into reply; aErrTimeout when none came.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* reply);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier, uei* reply,
                    aPacketFilterProc filter);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
    // One packet: command then length bytes (at most 27, else aErrParam).
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // *length on entry: leading data bytes to match; on success the packet's data length,
    // its data in data (at least 28 bytes). aErrTimeout after 1000 ms.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data);
    aErr enablePooledPackets(bool on);

    // Writes every packet sent and received to fileName, one line each, until disabled.
    // aErrConfiguration without a link.
    aErr enablePacketLog(const char* fileName);
    aErr disablePacketLog();

    // Stream value cache: keys pack module, command, option, index and subindex.
    static uint64_t createStreamKey(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                    uint8_t subindex);
    // aErrNotFound without an entry; aErrNone once for a fresh value, then aErrStreamStale.
    aErr getStreamValue(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                        uint8_t subindex, uint32_t* value);
    // Registers a callback for a stream key (creating its cache entry).
    aErr registerStreamCallback(uint64_t key, StreamCallback callback, void* context);
    // On: stream packets are taken on the reader thread, cached and handed to callbacks
    // on a worker thread. Off: the filter goes, the cache is cleared, the worker stops.
    aErr installStreamFilter(bool on);

    // The UEI reply filter, context = the uei being filled.
    static bool UEIFilter(const aPacket* packet, void* context);
    // The alternate link type discoverAndConnect tries after result, or INVALID for none.
    static linkType fallbackType(linkType type, aErr result, const aLoomConfig& config);

    struct impl;

  private:
    impl* p;
};

} // namespace Pelmora::Corvane
