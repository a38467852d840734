// The byte transport below the i.MX serial download engine: one per way of
// reaching the boot ROM (USB HID, a serial line). The engine speaks in HID
// reports (report id first); each transport maps them onto its medium and
// knows where the ROM's status word sits in the answers it delivers.
#ifndef CORVALITH_LOADERS_SDPLOADER_INTERFACE_H
#define CORVALITH_LOADERS_SDPLOADER_INTERFACE_H

#include <sys/types.h>

#include <cstdint>
#include <vector>

class SDPLoader_Interface {
 public:
  virtual ~SDPLoader_Interface() = default;
  // True when the transport is open.
  [[nodiscard]] virtual bool init() = 0;
  // Sends one report; the bytes written, or a negative value on failure.
  [[nodiscard]] virtual ssize_t writeData(const std::vector<uint8_t>& bytes) = 0;
  // Appends what arrives within timeoutMs to out; the bytes read, 0 when
  // nothing came, negative when the transport failed.
  [[nodiscard]] virtual ssize_t readData(std::vector<uint8_t>& out, int timeoutMs) = 0;
  // ORs the 32-bit word at index (0: the status word) of an answer into out;
  // false when the answer does not hold it.
  [[nodiscard]] virtual bool getDataFromBuffer(const std::vector<uint8_t>& bytes, int index,
                                               uint32_t& out) = 0;
};

#endif
