// aDefs - definitions shared by every layer: model numbers and their names
#include "aDefs.h"

const char* aDefs_GetModelName(uint32_t model) {
    switch (model) {
    case aMODEL_ROUTER:
        return "Router";
    case aMODEL_USBHUB2X4:
        return "USBHub2x4";
    case aMODEL_USBHUB3P:
        return "USBHub3p";
    case aMODEL_USBHUB3C:
        return "USBHub3c";
    case aMODEL_USBSWITCH:
        return "USBSwitch";
    case aMODEL_IO8:
        return "IO8";
    case aMODEL_IO16:
        return "IO16";
    case aMODEL_RELAY4:
        return "Relay4";
    case aMODEL_RELAY8:
        return "Relay8";
    case aMODEL_LOAD1:
        return "Load1";
    case aMODEL_LOAD2:
        return "Load2";
    case aMODEL_DAQ8:
        return "DAQ8";
    case aMODEL_DAQ16:
        return "DAQ16";
    case aMODEL_POWERHUB:
        return "PowerHub";
    case aMODEL_ROUTER2:
        return "Router2";
    case aMODEL_USBHUB3P2:
        return "USBHub3p2";
    case aMODEL_ETHER1:
        return "Ether1";
    default:
        return "Unknown";
    }
}
