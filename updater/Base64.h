// Base64 with the standard alphabet and "=" padding, no line breaks: the
// update server sends BIRD files this way.
#ifndef CORVALITH_UPDATER_BASE64_H
#define CORVALITH_UPDATER_BASE64_H

#include <cstddef>

// A new text of 4 characters per started group of 3 bytes, NUL-terminated;
// *outLength (when given) receives its length without the NUL. The caller
// releases it with free(). Null only when memory runs out.
char* base64_encode(const unsigned char* data, size_t length, size_t* outLength);

// New bytes followed by a NUL, released by the caller with free(); *outLength
// (when given) receives their count, length / 4 * 3 less one per trailing "=".
// Null when length is not a multiple of 4, when a character is outside the
// alphabet, or when "=" appears anywhere but as the last one or two
// characters.
unsigned char* base64_decode(const char* text, size_t length, size_t* outLength);

#endif
