// DeviceInfo - one module as the device listing reports it
#pragma once

#include <cstdint>
#include <string>

#include "aError.h"
#include "discover.h"

struct DeviceInfo {
    linkSpec spec{};              // the discovery record; module and router as reported
    uint16_t network_address = 0; // address behind a router, 0 when reached directly
    uint32_t build = 0;           // 0 when it could not be read
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string model_name;
    std::string name;      // user-assigned; empty when not read
    aErr error = aErrNone; // first failure met while reading the module
};
