// aVersion - packed firmware and library versions, and the library's feature list
#pragma once

#include <cstddef>
#include <cstdint>

// Separator between minor and patch in the library's version text.
#define aVERSION_PHASE "."

// Packs major.minor.patch into 32 bits. Versions before 2.15.0 use the legacy
// layout (4-bit major, 4-bit minor, patch in the low bits); later ones the current
// layout 0x2F | major | minor | patch, one byte each.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// True when the value uses the legacy layout: its top nibble is at most 2 and its
// top byte is not 0x2F.
bool aVersion_IsLegacyFormat(uint32_t packed);

uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
// Up to 24 bits for legacy values, 8 bits for current ones.
uint32_t aVersion_ParsePatch(uint32_t packed);

// Formats "major.minor.patch" into the buffer (bounded); answers what snprintf answers.
int aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
// The library version text, built once into a static buffer.
const char* aVersion_GetString();

// True when version a is later than or equal to version b.
bool aVersion_IsAtLeastCompare(uint8_t aMajor, uint8_t aMinor, uint8_t aPatch, uint8_t bMajor,
                               uint8_t bMinor, uint8_t bPatch);
// True when this library is at least the given version.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when the name is exactly one of the library's feature names.
bool aVersion_HasFeature(const char* name);
// Every feature as "name - description", one per line; the caller owns the text
// and releases it with aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);
