// corvalith-ctl: maintenance commands on one module's store slots, factory
// data and stream samples, through the device library's Link.
//
//   corvalith-ctl -d SERIAL [-t USB|TCP|SHARED [-a ADDRESS] [-p PORT]] COMMAND ARG...
//
// Every failure prints one "Error: ..." line naming the aErr code on standard
// error, and the program exits 1; success exits 0.
#ifndef CORVALITH_APP_CTL_CTL_H
#define CORVALITH_APP_CTL_CTL_H

#include <cstdint>
#include <string>
#include <vector>

#include "common/linkSpec.h"

// Streaming ends after this long unless --seconds says otherwise.
constexpr uint32_t kCtlDefaultStreamSeconds = 10;

struct CtlOptions {
  uint32_t serial = 0;
  linkType transport = USB;
  // SHARED: the device server's frontend port; 0 = find the server by
  // discovery.
  uint16_t port = 0;
  // SHARED: the address the server listens on (network byte order); 0 =
  // 127.0.0.1, and for a search also the first network interface after it.
  uint32_t address = 0;
  std::string command;
  std::vector<std::string> args;
  // The command's leading numeric arguments (store, slot; factory command;
  // command, option, index).
  uint8_t numbers[3] = {};
  // stream bounds: 0 = not given.
  uint32_t count = 0;
  uint32_t seconds = 0;
  bool help = false;
};

// Fills options from the command line. False with a message in *error when
// it does not make a runnable command (an unknown command or option, a
// missing or malformed value, the wrong number of arguments).
[[nodiscard]] bool ParseCtlArguments(int argc, const char* const argv[], CtlOptions* options,
                                     std::string* error);
std::string CtlUsage();
// Connects and runs the command; the exit code.
[[nodiscard]] int RunCtl(const CtlOptions& options);

#endif
