#include "support/LpcRomProcess.h"

#include <chrono>
#include <cstdlib>

#include "support/TempFiles.h"

std::string LpcRomProcess::binary() {
  return std::string(CV_BINARY_DIR) + "/sim/corvalith-lpc-rom";
}

bool LpcRomProcess::readState(LpcRomState* state) const {
  std::string text = ReadText(stateFile());
  size_t flash = text.find("\"flash\": \"");
  size_t commands = text.find("\"commands\": [");
  if (flash == std::string::npos || commands == std::string::npos) return false;
  state->flash.clear();
  for (size_t i = flash + 10; i + 1 < text.size() && text[i] != '"'; i += 2) {
    state->flash.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
  }
  state->commands.clear();
  // Commands are plain ISP lines: no quotes or escapes inside.
  for (size_t i = commands + 13; i < text.size() && text[i] != ']';) {
    size_t open = text.find('"', i);
    size_t close = open == std::string::npos ? open : text.find('"', open + 1);
    if (close == std::string::npos) return false;
    state->commands.push_back(text.substr(open + 1, close - open - 1));
    i = close + 1;
  }
  return true;
}
