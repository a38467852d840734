// Numbers in text as the whole system writes and reads them: serial numbers
// and addresses as eight upper-case hexadecimal digits, build numbers and
// option values as plain digits. One implementation, so that the command
// line, the store, the server replies and the firmware files agree.
#ifndef CORVALITH_COMMON_ATEXT_H
#define CORVALITH_COMMON_ATEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

// White space of the C locale: space, \t, \n, \v, \f, \r.
bool aText_IsSpace(char c);

// The value of a hexadecimal digit (either case), -1 for any other character.
int aText_HexDigitValue(char c);

// Reads digits of base (8, 10 or 16) from text while the value fits 32 bits;
// returns how many characters were used (0 when the first is not a digit)
// and the value of those (0 for none).
size_t aText_ConsumeDigits(const char* text, size_t length, unsigned base, uint32_t* value);

// The whole text as an unsigned number that fits 32 bits: digits of base 10
// or 16 and nothing else (no sign, white space, prefix or trailing text), or
// base 0 for C's prefixes ("0x" hexadecimal, a leading "0" octal, else
// decimal). False for anything else, leaving *value unchanged.
[[nodiscard]] bool aText_ParseUnsigned32(const std::string& text, unsigned base, uint32_t* value);

// Eight upper-case hexadecimal digits ("%08X").
std::string aText_Hex32(uint32_t value);

#endif
