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
