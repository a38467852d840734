#include "support/SdpRomProcess.h"

#include <chrono>
#include <cstdlib>

#include "support/TempFiles.h"

namespace {

// The value after "key": in text from position from; npos when absent.
size_t sValueAt(const std::string& text, const std::string& key, size_t from = 0) {
  size_t at = text.find("\"" + key + "\": ", from);
  return at == std::string::npos ? at : at + key.size() + 4;
}

bool sHex(const std::string& text, size_t from, std::vector<uint8_t>* out) {
  size_t end = text.find('"', from);
  if (end == std::string::npos || (end - from) % 2) return false;
  out->clear();
  out->reserve((end - from) / 2);
  for (size_t i = from; i < end; i += 2) {
    out->push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

}  // namespace

bool ParseSdpRomState(const std::string& text, SdpRomState* state) {
  *state = SdpRomState();
  size_t security = sValueAt(text, "security");
  size_t commands = sValueAt(text, "commands");
  size_t data = sValueAt(text, "data_bytes");
  size_t jump = sValueAt(text, "jump_address");
  size_t ram = sValueAt(text, "ram");
  if (security == std::string::npos || commands == std::string::npos || data == std::string::npos ||
      jump == std::string::npos || ram == std::string::npos)
    return false;
  state->security = text.substr(security + 1, text.find('"', security + 1) - security - 1);
  size_t commandsEnd = text.find(']', commands);
  for (size_t at = sValueAt(text, "name", commands); at < commandsEnd; at = sValueAt(text, "name", at)) {
    state->commands.push_back(text.substr(at + 1, text.find('"', at + 1) - at - 1));
  }
  state->dataBytes = std::strtoull(text.c_str() + data, nullptr, 10);
  state->jumped = text.compare(jump, 4, "null") != 0;
  if (state->jumped)
    state->jumpAddress = static_cast<uint32_t>(std::strtoul(text.c_str() + jump, nullptr, 10));
  for (size_t at = sValueAt(text, "address", ram); at != std::string::npos;
       at = sValueAt(text, "address", at)) {
    uint32_t address = static_cast<uint32_t>(std::strtoul(text.c_str() + at, nullptr, 10));
    size_t bytes = sValueAt(text, "bytes", at);
    if (bytes == std::string::npos || !sHex(text, bytes + 1, &state->ram[address])) return false;
    at = bytes;
  }
  return true;
}

std::string SdpRomProcess::binary() {
  return std::string(CV_BINARY_DIR) + "/sim/corvalith-sdp-rom";
}

bool SdpRomProcess::readState(SdpRomState* state) const {
  return ParseSdpRomState(ReadText(stateFile()), state);
}
