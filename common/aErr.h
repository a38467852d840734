// Result codes of the device library. Nearly every library function returns
// one; none throws. Names and descriptions live in one table (aErr.cpp).
#ifndef CORVALITH_COMMON_AERR_H
#define CORVALITH_COMMON_AERR_H

#include <cstdint>

typedef uint8_t aErr;

// Plain constants of type aErr rather than enumerators, so that mixing a code
// and an aErr variable (err == aErrBusy ? aErrNone : err) keeps the type.
inline constexpr aErr aErrNone = 0;
inline constexpr aErr aErrMemory = 1;
inline constexpr aErr aErrParam = 2;
inline constexpr aErr aErrNotFound = 3;
inline constexpr aErr aErrFileNameLength = 4;
inline constexpr aErr aErrBusy = 5;
inline constexpr aErr aErrIO = 6;
inline constexpr aErr aErrMode = 7;
inline constexpr aErr aErrWrite = 8;
inline constexpr aErr aErrRead = 9;
inline constexpr aErr aErrEOF = 10;
inline constexpr aErr aErrNotReady = 11;
inline constexpr aErr aErrPermission = 12;
inline constexpr aErr aErrRange = 13;
inline constexpr aErr aErrSize = 14;
inline constexpr aErr aErrOverrun = 15;
inline constexpr aErr aErrParse = 16;
inline constexpr aErr aErrConfiguration = 17;
inline constexpr aErr aErrTimeout = 18;
inline constexpr aErr aErrInitialization = 19;
inline constexpr aErr aErrVersion = 20;
inline constexpr aErr aErrUnimplemented = 21;
inline constexpr aErr aErrDuplicate = 22;
inline constexpr aErr aErrCancel = 23;
inline constexpr aErr aErrPacket = 24;
inline constexpr aErr aErrConnection = 25;
inline constexpr aErr aErrIndexRange = 26;
inline constexpr aErr aErrShortCommand = 27;
inline constexpr aErr aErrInvalidEntity = 28;
inline constexpr aErr aErrInvalidOption = 29;
inline constexpr aErr aErrResource = 30;
inline constexpr aErr aErrMedia = 31;
inline constexpr aErr aErrAsyncReturn = 32;
inline constexpr aErr aErrStreamStale = 33;
inline constexpr aErr aErrUnknown = 34;

// The code's name ("aErrTimeout"); codes above aErrUnknown read as aErrUnknown.
const char* aError_GetErrorText(unsigned code);
// The code's description ("Timeout occurred"); same rule for unknown codes.
const char* aError_GetErrorDescription(unsigned code);

#endif
