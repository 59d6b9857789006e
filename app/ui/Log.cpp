// Log - the process-wide, package-masked diagnostic log
#include "Log.h"

#include <cstdarg>

const LogPackageName kLogPackageNames[14] = {
    {"DEBUG_Updater", DEBUG_Updater},
    {"DEBUG_History", DEBUG_History},
    {"DEBUG_Attributes", DEBUG_Attributes},
    {"DEBUG_BirdFile", DEBUG_BirdFile},
    {"DEBUG_Network", DEBUG_Network_Legacy},
    {"DEBUG_ServerComm", DEBUG_ServerComm},
    {"DEBUG_Network", DEBUG_Network},
    {"DEBUG_Network_SR", DEBUG_Network_SR},
    {"DEBUG_Network_FIRM", DEBUG_Network_FIRM},
    {"DEBUG_NXPSerial", DEBUG_NXPSerial},
    {"DEBUG_NXPSerial_E", DEBUG_NXPSerial_E},
    {"DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR},
    {"DEBUG_APP", DEBUG_APP},
    {"DEBUG_iMXSerial", DEBUG_iMXSerial},
};

uint32_t Log::package_bitmask = 0;
FILE* Log::fh = nullptr;

void Log::log(uint32_t package, const char* format, ...) {
    if (package != 0 && (package & package_bitmask) == 0) return;
    if (!fh) return;
    char buffer[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    fputs(buffer, fh);
}

void Log::SetOutput(FILE* handle) {
    fh = handle;
}

void Log::ActivatePackage(uint32_t mask) {
    package_bitmask |= mask;
}

void Log::DeactivatePackage(uint32_t mask) {
    package_bitmask &= ~mask;
}

uint32_t Log::ActivePackages() {
    return package_bitmask;
}
