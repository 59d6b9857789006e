// Log - the process-wide, package-masked diagnostic log
#pragma once

#include <cstdint>
#include <cstdio>

// Package bits; a log line names one and is written only while it is active.
// Package 0 is always written.
enum : uint32_t {
    DEBUG_Updater = 0x00000001,
    DEBUG_History = 0x00000002,
    DEBUG_Attributes = 0x00000004,
    DEBUG_BirdFile = 0x00000008,
    DEBUG_Network_Legacy = 0x00000010, // listed as "DEBUG_Network" in the help text
    DEBUG_ServerComm = 0x00000020,
    DEBUG_Network = 0x00000100,
    DEBUG_Network_SR = 0x00000200,
    DEBUG_Network_FIRM = 0x00000400,
    DEBUG_NXPSerial = 0x00001000,
    DEBUG_NXPSerial_E = 0x00002000,
    DEBUG_NXPSerial_SR = 0x00004000,
    DEBUG_APP = 0x00010000,
    DEBUG_iMXSerial = 0x10000000,
};

// One row of the package list the help text prints.
struct LogPackageName {
    const char* name;
    uint32_t mask;
};
extern const LogPackageName kLogPackageNames[14];

// All state is class-wide; the entry point sets the output once and -X grows the
// mask while the command line is read. No lock: the only other writer (the
// download worker) runs while the main thread just waits.
class Log {
  public:
    static void log(uint32_t package, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    static void SetOutput(FILE* handle);
    static void ActivatePackage(uint32_t mask);
    static void DeactivatePackage(uint32_t mask);
    static uint32_t ActivePackages();

  private:
    static uint32_t package_bitmask;
    static FILE* fh;
};
