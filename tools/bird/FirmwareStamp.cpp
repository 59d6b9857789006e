// FirmwareStamp - the marker that tells a simulated module which version an image carries
#include "FirmwareStamp.h"

#include <cstdio>
#include <cstring>

#include "aUEI.h"
#include "aVersion.h"

std::vector<uint8_t> FirmwareStamp_Make(const FirmwareStamp& stamp) {
    std::vector<uint8_t> out(kFirmwareStampSize);
    memcpy(out.data(), kFirmwareStampMagic, 8);
    aUEI_StoreInt(out.data() + 8, stamp.build);
    aUEI_StoreInt(out.data() + 12, stamp.packedVersion);
    return out;
}

std::optional<FirmwareStamp> FirmwareStamp_Find(const uint8_t* bytes, size_t length) {
    if (!bytes || length < kFirmwareStampSize) return std::nullopt;
    for (size_t i = 0; i + kFirmwareStampSize <= length; i++) {
        if (memcmp(bytes + i, kFirmwareStampMagic, 8) != 0) continue;
        return FirmwareStamp{aUEI_RetrieveInt(bytes + i + 8), aUEI_RetrieveInt(bytes + i + 12)};
    }
    return std::nullopt;
}

std::optional<uint32_t> FirmwareStamp_PackVersion(const char* text) {
    unsigned major = 0, minor = 0, patch = 0;
    int used = 0;
    if (!text || sscanf(text, "%3u.%3u.%3u%n", &major, &minor, &patch, &used) != 3 ||
        text[used] != '\0' || major > 255 || minor > 255 || patch > 255)
        return std::nullopt;
    for (const char* p = text; *p; p++)
        if (*p == '+' || *p == '-' || *p == ' ') return std::nullopt;
    return aVersion_Pack(uint8_t(major), uint8_t(minor), uint8_t(patch));
}
