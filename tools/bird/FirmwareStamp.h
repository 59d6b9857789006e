// FirmwareStamp - the marker that tells a simulated module which version an image carries
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

// A stamp is 16 bytes placed inside firmware code: the 8 ASCII bytes "CVSTAMP1", the
// build number and the packed version (each 32 bits, most significant byte first).
// corvane-bird pack --stamp appends one to the first firmware image; a simulated
// module that receives the image reports the version and build it finds there.
constexpr size_t kFirmwareStampSize = 16;
constexpr char kFirmwareStampMagic[] = "CVSTAMP1";

struct FirmwareStamp {
    uint32_t build = 0;
    uint32_t packedVersion = 0;
};

std::vector<uint8_t> FirmwareStamp_Make(const FirmwareStamp& stamp);

// The first stamp in the bytes, if any.
std::optional<FirmwareStamp> FirmwareStamp_Find(const uint8_t* bytes, size_t length);

// Packs "MAJOR.MINOR.PATCH" (each 0..255); nothing for any other text.
std::optional<uint32_t> FirmwareStamp_PackVersion(const char* text);
