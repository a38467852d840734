#include "app/CLI_Display.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <utility>

namespace {

constexpr int kBarWidth = 69;
// A label of 65 characters or more leaves no bar at all; such a label still
// gets a readable one. Shorter labels keep the width they leave, however small.
constexpr int kMinBarWidth = 10;
constexpr int kClearWidth = 88;
const char kBarRow[] = "=====================================================================";
static_assert(sizeof(kBarRow) - 1 == kBarWidth, "the bar row holds one '=' per column");

const char* const kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr uint8_t kSpinnerFrameCount = sizeof(kSpinnerFrames) / sizeof(kSpinnerFrames[0]);

void sWrite(FILE* stream, const std::string& text) {
  fwrite(text.data(), 1, text.size(), stream);
}

}  // namespace

uint8_t CLI_Display::spinnerIndex = 0;

CLI_Display::CLI_Display()
    : out_([](const std::string& t) { sWrite(stdout, t); }),
      err_([](const std::string& t) { sWrite(stderr, t); }),
      terminal_(-1) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
}

CLI_Display::CLI_Display(Sink out, Sink err, bool outIsTerminal)
    : out_(std::move(out)), err_(std::move(err)), terminal_(outIsTerminal ? 1 : 0) {}

bool CLI_Display::outIsTerminal() const {
  if (terminal_ >= 0) return terminal_ == 1;
  return isatty(fileno(stdout)) == 1;
}

void CLI_Display::clearLine() {
  char line[kClearWidth + 8];
  snprintf(line, sizeof(line), "\r%*s\r", kClearWidth, " ");
  out_(line);
}

void CLI_Display::display_progress(bool show) {
  if (!show && outIsTerminal()) clearLine();
}

void CLI_Display::update_progress(double fraction, const char* label) {
  if (!outIsTerminal()) return;
  // Outside 0..1 the widths below would go negative and draw garbage.
  if (!(fraction >= 0.0)) fraction = 0.0;
  if (fraction > 1.0) fraction = 1.0;
  int width = kBarWidth;
  if (label) {
    width = kBarWidth - static_cast<int>(strlen(label)) - 4;
    if (width < 1) width = kMinBarWidth;
  }
  int filled = static_cast<int>(width * fraction);
  int percent = static_cast<int>(fraction * 100);
  std::string text;
  int size;
  if (label) {
    size = snprintf(nullptr, 0, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarRow, width - filled - 1,
                    "", percent);
    text.resize(static_cast<size_t>(size) + 1);
    snprintf(&text[0], text.size(), "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBarRow,
             width - filled - 1, "", percent);
  } else {
    size = snprintf(nullptr, 0, "\r[%.*s>%*s] (%3d%% ) ", filled, kBarRow, width - filled - 1, "", percent);
    text.resize(static_cast<size_t>(size) + 1);
    snprintf(&text[0], text.size(), "\r[%.*s>%*s] (%3d%% ) ", filled, kBarRow, width - filled - 1, "",
             percent);
  }
  text.resize(static_cast<size_t>(size));
  out_(text);
}

void CLI_Display::update_spinner(bool running, const char* label) {
  if (!outIsTerminal()) return;
  if (!running) {
    clearLine();
    return;
  }
  const char* frame = kSpinnerFrames[spinnerIndex % kSpinnerFrameCount];
  std::string text = label ? std::string("\r (") + label + ") " + frame + "      \r"
                           : std::string("\r ") + frame + "      \r";
  out_(text);
  spinnerIndex = static_cast<uint8_t>((spinnerIndex + 1) % kSpinnerFrameCount);
}

void CLI_Display::info_message(const char* text) {
  out_(std::string(text ? text : "") + "\n");
}

void CLI_Display::error_message(const char* text) {
  err_(std::string(text ? text : "") + "\n");
}
