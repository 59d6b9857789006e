// discover - link specifiers and the enumeration of reachable modules
#pragma once

#include <cstdint>

#include "aError.h"

// How a module is reached.
typedef enum : uint32_t {
    INVALID = 0,
    USB = 1,
    TCPIP = 2,
    SERIAL = 3,
    ALOOM = 4,
    ALOOM_USB = 5,
    ALOOM_TCPIP = 6,
    ALOOM_SERIAL = 7,
} linkType;

// The fixed 128-byte link specifier. It travels unchanged inside network
// discovery replies, so its layout never changes; integers are little-endian.
typedef struct {
    uint32_t type;               // linkType
    uint32_t serialNumber;       // the module's serial number
    uint32_t module;             // address on its module network
    uint32_t router;             // address of the module routing for it
    uint32_t routerSerialNumber; // serial number of that router
    uint32_t model;              // model number
    union {
        struct {
            uint32_t usbId; // the serial number again
        } usb;
        struct {
            uint32_t ipAddress; // IPv4, network byte order
            uint32_t ipPort;    // TCP port in the low 16 bits
        } ip;
        struct {
            uint32_t baudRate;
            char portName[100]; // zero-terminated device path
        } serial;
        uint8_t raw[104];
    } t;
} linkSpec;

static_assert(sizeof(linkSpec) == 128, "linkSpec is a fixed wire record");

// Called once per module found. spec lives only for the call (copy what you keep);
// set *found to count the module as a match. Answer true to go on, false to stop.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* found, void* context);

// IPv4 address in network byte order that means "no interface chosen".
#define aDISCOVERY_ANY_INTERFACE 0x0100007Fu

// Enumerates the modules of one link type and calls the callback for each; answers
// how many calls set found. networkInterface (network byte order) chooses the
// interface for network searches; 0 or 127.0.0.1 chooses none. Types 0, 3 and
// above 7 find nothing.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback,
                                    void* context, uint32_t networkInterface);

// The first module of that type with that serial number, or null. The caller owns
// the result (aLinkSpec_Destroy).
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// The first module of that type with a non-zero serial number, or null.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// A new zeroed specifier of that type, or null.
linkSpec* aLinkSpec_Create(linkType type);
// A new copy of all 128 bytes, or null.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);
// Releases the specifier and nulls the caller's pointer; aErrParam when it is null.
aErr aLinkSpec_Destroy(linkSpec** spec);
