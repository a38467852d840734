#include "common/aVersion.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {

constexpr uint8_t kLibMajor = 2;
constexpr uint8_t kLibMinor = 12;
constexpr uint8_t kLibPatch = 1;
// Top byte of a version in the tagged form.
constexpr uint32_t kTaggedVersion = 0x2F000000;
constexpr size_t kVersionTextSize = 15;  // at most 14 characters

struct Feature {
  const char* name;
  const char* description;
};
constexpr Feature kFeatures[] = {{"VERSION", "Version Query API"}};

struct VersionText {
  char text[kVersionTextSize];
  VersionText() { std::snprintf(text, sizeof text, "%d.%d%s%d", kLibMajor, kLibMinor, ".", kLibPatch); }
};

}  // namespace

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
  if (major > 2 || (major == 2 && minor > 14)) {
    return kTaggedVersion + uint32_t{major} * 65536 + uint32_t{minor} * 256 + patch;
  }
  return uint32_t{major} << 28 | uint32_t{minor & 0x0Fu} << 24 | patch;
}

bool aVersion_IsLegacyFormat(uint32_t version) {
  const uint32_t top = version >> 28;
  const uint32_t next = (version >> 24) & 0x0F;
  return top < 2 || (top == 2 && next < 15);
}

uint32_t aVersion_ParseMajor(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? version >> 28 : (version >> 16) & 0xFF;
}

uint32_t aVersion_ParseMinor(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? (version >> 24) & 0x0F : (version >> 8) & 0xFF;
}

uint32_t aVersion_ParsePatch(uint32_t version) {
  return aVersion_IsLegacyFormat(version) ? version & 0xFFFFFF : version & 0xFF;
}

int aVersion_ParseString(uint32_t version, char* buffer, size_t size) {
  if (buffer == nullptr) size = 0;
  return std::snprintf(buffer, size, "%d.%d.%d", static_cast<int>(aVersion_ParseMajor(version)),
                       static_cast<int>(aVersion_ParseMinor(version)),
                       static_cast<int>(aVersion_ParsePatch(version)));
}

bool aVersion_IsAtLeastCompare(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint8_t e, uint8_t f) {
  if (a != d) return a > d;
  if (b != e) return b > e;
  return c >= f;
}

uint8_t aVersion_GetMajor() {
  return kLibMajor;
}

uint8_t aVersion_GetMinor() {
  return kLibMinor;
}

uint8_t aVersion_GetPatch() {
  return kLibPatch;
}

const char* aVersion_GetString() {
  static const VersionText text;
  return text.text;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
  return aVersion_IsAtLeastCompare(kLibMajor, kLibMinor, kLibPatch, major, minor, patch);
}

bool aVersion_HasFeature(const char* name) {
  if (name == nullptr) return false;
  for (const Feature& f : kFeatures) {
    if (std::strcmp(f.name, name) == 0) return true;
  }
  return false;
}

char* aVersion_GetFeatureList() {
  std::string list;
  for (const Feature& f : kFeatures) {
    if (!list.empty()) list += "\n";
    list += std::string(f.name) + " - " + f.description;
  }
  char* out = new (std::nothrow) char[list.size() + 1];
  if (out != nullptr) std::memcpy(out, list.c_str(), list.size() + 1);
  return out;
}

void aVersion_DestroyFeatureList(char** list) {
  if (list == nullptr) return;
  delete[] * list;
  *list = nullptr;
}
