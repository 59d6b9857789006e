// aVersion - packed firmware and library versions, and the library's feature list
#include "aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kMajor = 2;
constexpr uint8_t kMinor = 12;
constexpr uint8_t kPatch = 2;

struct Feature {
    const char* name;
    const char* description;
};

const Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};

constexpr uint32_t kCurrentTag = 0x2F000000u;

} // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return kCurrentTag | (uint32_t(major) << 16) | (uint32_t(minor) << 8) | patch;
    return (uint32_t(major) << 28) | (uint32_t(minor & 0x0F) << 24) | patch;
}

bool aVersion_IsLegacyFormat(uint32_t packed) {
    return (packed >> 28) <= 2 && (packed >> 24) != 0x2F;
}

uint8_t aVersion_ParseMajor(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? uint8_t(packed >> 28) : uint8_t(packed >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? uint8_t((packed >> 24) & 0x0F) : uint8_t(packed >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? (packed & 0x00FFFFFFu) : (packed & 0xFFu);
}

int aVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
    return snprintf(buffer, size, "%d.%d.%d", aVersion_ParseMajor(packed),
                    aVersion_ParseMinor(packed), int(aVersion_ParsePatch(packed)));
}

uint8_t aVersion_GetMajor() {
    return kMajor;
}
uint8_t aVersion_GetMinor() {
    return kMinor;
}
uint8_t aVersion_GetPatch() {
    return kPatch;
}

const char* aVersion_GetString() {
    static char text[15];
    static const bool built = [] {
        memset(text, 0, sizeof text);
        snprintf(text, sizeof text, "%d.%d%s%d", kMajor, kMinor, aVERSION_PHASE, kPatch);
        return true;
    }();
    (void)built;
    return text;
}

bool aVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor,
                               uint8_t bMinor, uint8_t bPatch) {
    if (aMajor != bMajor) return aMajor > bMajor;
    if (aMinor != bMinor) return aMinor > bMinor;
    return aPatch >= bPatch;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(kMajor, kMinor, kPatch, major, minor, patch);
}

bool aVersion_HasFeature(const char* name) {
    if (!name) return false;
    for (const Feature& f : kFeatures)
        if (strcmp(f.name, name) == 0) return true;
    return false;
}

char* aVersion_GetFeatureList() {
    size_t size = 1;
    for (const Feature& f : kFeatures)
        size += strlen(f.name) + 3 + strlen(f.description) + 1;
    char* list = static_cast<char*>(calloc(size, 1));
    if (!list) return nullptr;
    for (const Feature& f : kFeatures) {
        if (list[0]) strcat(list, "\n");
        strcat(list, f.name);
        strcat(list, " - ");
        strcat(list, f.description);
    }
    return list;
}

void aVersion_DestroyFeatureList(char** list) {
    if (!list) return;
    free(*list);
    *list = nullptr;
}
