// Packed 32-bit firmware versions and the library's own version.
//
// Two packings exist. From 2.15 on: 0x2F in the top byte, then major, minor
// and patch one byte each. Before that (the legacy form): major in bits
// 28-31, minor in bits 24-27 and patch in the low 24 bits.
#ifndef CORVALITH_COMMON_AVERSION_H
#define CORVALITH_COMMON_AVERSION_H

#include <cstddef>
#include <cstdint>

// Packs a version: the tagged form for 2.15 and later, else the legacy form
// (minor truncated to 4 bits).
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);
// True for a legacy value: top nibble below 2, or 2 with the next nibble
// below 15.
[[nodiscard]] bool aVersion_IsLegacyFormat(uint32_t version);
uint32_t aVersion_ParseMajor(uint32_t version);
uint32_t aVersion_ParseMinor(uint32_t version);
uint32_t aVersion_ParsePatch(uint32_t version);
// Writes "major.minor.patch" (truncated to fit, always terminated when size
// is not 0); returns the length the full text has.
int aVersion_ParseString(uint32_t version, char* buffer, size_t size);
// True when a.b.c is at least d.e.f, major first.
[[nodiscard]] bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e,
                                             uint8_t f);

// The library's own version.
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
// "2.12.1"; static storage.
const char* aVersion_GetString();
[[nodiscard]] bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// The library's feature table.
[[nodiscard]] bool aVersion_HasFeature(const char* name);
// One heap text "NAME - description" per feature; free it with
// aVersion_DestroyFeatureList. Null when out of memory.
[[nodiscard]] char* aVersion_GetFeatureList();
// Frees the list and nulls the pointer; nothing for a null address or list.
void aVersion_DestroyFeatureList(char** list);

#endif
