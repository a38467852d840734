// The device library's own trace switches. Traces go to standard output,
// flushed line by line, only while aCorvalithDebuggingEnable is set and the
// trace's bit is set in aCorvalithDebuggingLevel. Bits: 0x01 link calls,
// 0x02 packet traces, 0x04 device server, 0x08 multicast endpoints,
// 0x10 discovery, 0x20 network client stream, 0x200 beacon-interface lock,
// 0x400 USB driver.
#ifndef CORVALITH_COMMON_ADEBUG_H
#define CORVALITH_COMMON_ADEBUG_H

#include <atomic>
#include <cstdint>

// Atomic so a test or a caller may flip them while pipe threads trace.
extern std::atomic<bool> aCorvalithDebuggingEnable;
extern std::atomic<uint32_t> aCorvalithDebuggingLevel;

constexpr uint32_t aDEBUG_LINK = 0x01;
constexpr uint32_t aDEBUG_PACKETS = 0x02;
constexpr uint32_t aDEBUG_SERVER = 0x04;
constexpr uint32_t aDEBUG_MULTICAST = 0x08;
constexpr uint32_t aDEBUG_DISCOVERY = 0x10;
constexpr uint32_t aDEBUG_CLIENT = 0x20;
constexpr uint32_t aDEBUG_BEACON_LOCK = 0x200;
constexpr uint32_t aDEBUG_USB = 0x400;

// True when traces of any of the given bits are printed.
[[nodiscard]] bool aCorvalithDebug_On(uint32_t bits);
// printf to standard output and flush, when aCorvalithDebug_On(bits).
void aCorvalithDebug_Printf(uint32_t bits, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
