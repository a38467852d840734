// Product names of the module family, by the model number that a module
// reports and that its USB product id carries in its low byte.
#ifndef CORVALITH_COMMON_ADEFS_H
#define CORVALITH_COMMON_ADEFS_H

#include <cstdint>

// At most this many characters, so that device tables stay aligned.
constexpr unsigned kMaxModelNameLength = 12;

// The model's product name; "Unknown" for a number not in the family.
const char* aDefs_GetModelName(uint32_t model);

#endif
