// A display that keeps every message line, for checking what a user would see.
#ifndef CORVALITH_TESTS_SUPPORT_RECORDINGDISPLAY_H
#define CORVALITH_TESTS_SUPPORT_RECORDINGDISPLAY_H

#include <string>
#include <vector>

#include "updater/report/UpdaterDisplayInterface.h"

class RecordingDisplay final : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  // "+label" for a turning spinner, "-label" for one that stopped.
  void update_spinner(bool running, const char* label) override {
    spins.push_back(std::string(running ? "+" : "-") + (label ? label : ""));
  }
  void info_message(const char* text) override { info.push_back(text); }
  void error_message(const char* text) override { errors.push_back(text); }

  std::vector<std::string> spins;
  std::vector<std::string> info;
  std::vector<std::string> errors;
};

#endif
