// aDefs - definitions shared by every layer: model numbers and their names
#pragma once

#include <cstdint>

#include "aError.h"

// Path separator of every path the library builds.
#define aDIR_PATH_SEP '/'

// Model numbers the library knows; every module reports one of these (or an
// unknown number) through its system entity.
enum : uint8_t {
    aMODEL_ROUTER = 4,
    aMODEL_USBHUB2X4 = 5,
    aMODEL_USBHUB3P = 13,
    aMODEL_USBHUB3C = 14,
    aMODEL_USBSWITCH = 15,
    aMODEL_IO8 = 16,
    aMODEL_IO16 = 17,
    aMODEL_RELAY4 = 18,
    aMODEL_RELAY8 = 19,
    aMODEL_LOAD1 = 20,
    aMODEL_LOAD2 = 21,
    aMODEL_DAQ8 = 22,
    aMODEL_DAQ16 = 23,
    aMODEL_POWERHUB = 24,
    aMODEL_ROUTER2 = 25,
    aMODEL_USBHUB3P2 = 26,
    aMODEL_ETHER1 = 27,
};

// Short name of a model, without spaces; "Unknown" for a number the library
// does not know.
const char* aDefs_GetModelName(uint32_t model);
