// The transport specifier of one device: by which transport it is reached and
// how it is identified there. A fixed 128-byte record, copied by value; the
// network image is the same 128 bytes with every word little-endian.
#ifndef CORVALITH_COMMON_LINKSPEC_H
#define CORVALITH_COMMON_LINKSPEC_H

#include <cstddef>
#include <cstdint>

#include "common/aErr.h"

typedef enum : uint32_t {
  INVALID = 0,
  USB = 1,
  TCPIP = 2,
  SERIAL = 3,
  AWEFT = 4,
  AWEFT_USB = 5,
  AWEFT_TCPIP = 6,
  AWEFT_SERIAL = 7,
} linkType;

constexpr size_t kLinkSpecSize = 128;
constexpr size_t kLinkSpecPortNameSize = 100;

struct linkSpec {
  linkType type;
  uint32_t serialNumber;
  uint32_t module;
  uint32_t router;
  uint32_t routerSerialNumber;
  uint32_t model;
  union {
    struct {
      uint32_t ipAddress;  // network byte order, as the socket layer gives it
      uint32_t ipPort;     // low 16 bits
    } ip;
    struct {
      uint32_t baudRate;
      char portName[kLinkSpecPortNameSize];
    } serial;
    struct {
      uint32_t serialNumber;
    } usb;
  } t;
};

static_assert(sizeof(linkSpec) == kLinkSpecSize, "linkSpec is a 128-byte record");
static_assert(offsetof(linkSpec, type) == 0 && offsetof(linkSpec, serialNumber) == 4 &&
                  offsetof(linkSpec, module) == 8 && offsetof(linkSpec, router) == 12 &&
                  offsetof(linkSpec, routerSerialNumber) == 16 && offsetof(linkSpec, model) == 20 &&
                  offsetof(linkSpec, t.ip.ipAddress) == 24 && offsetof(linkSpec, t.ip.ipPort) == 28 &&
                  offsetof(linkSpec, t.serial.baudRate) == 24 &&
                  offsetof(linkSpec, t.serial.portName) == 28 && offsetof(linkSpec, t.usb.serialNumber) == 24,
              "linkSpec field offsets are part of the network image");

// True for the shared (client) types 4 to 7.
[[nodiscard]] bool isAWEFT(linkType type);
// Zero-filled record with the type set; null when out of memory.
[[nodiscard]] linkSpec* aLinkSpec_Create(linkType type);
// Heap copy of all 128 bytes; null when out of memory.
[[nodiscard]] linkSpec* aLinkSpec_Copy(linkSpec spec);
// Frees and nulls; aErrParam when already null.
[[nodiscard]] aErr aLinkSpec_Destroy(linkSpec** spec);
// The 128-byte little-endian image carried over the network.
void aLinkSpec_ToImage(const linkSpec& spec, uint8_t image[kLinkSpecSize]);
// aErrParam for a null image, aErrSize when size is not 128.
[[nodiscard]] aErr aLinkSpec_FromImage(const uint8_t* image, size_t size, linkSpec* spec);

#endif
