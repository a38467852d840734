// The console implementation of the reporting channel: messages on standard
// output and standard error, a progress bar and a spinner drawn in place on a
// terminal and left out when standard output is redirected.
#ifndef CORVALITH_APP_CLI_DISPLAY_H
#define CORVALITH_APP_CLI_DISPLAY_H

#include <cstdint>
#include <functional>
#include <string>

#include "updater/report/UpdaterDisplayInterface.h"

class CLI_Display final : public UpdaterDisplayInterface {
 public:
  // Receives one complete piece of output per call.
  using Sink = std::function<void(const std::string& text)>;

  // Writes to standard output and standard error, both switched to
  // unbuffered; bars are drawn only while standard output is a terminal.
  CLI_Display();
  // For tests: output goes to the sinks and the terminal test is fixed.
  CLI_Display(Sink out, Sink err, bool outIsTerminal);

  void display_progress(bool show) override;
  void update_progress(double fraction, const char* label) override;
  void update_spinner(bool running, const char* label) override;
  void info_message(const char* text) override;
  void error_message(const char* text) override;

  // Frame counter shared by every display, so the spinner keeps turning
  // across calls.
  static uint8_t spinnerIndex;

 private:
  bool outIsTerminal() const;
  void clearLine();

  Sink out_;
  Sink err_;
  int terminal_;  // -1: ask the system at each call
};

#endif
