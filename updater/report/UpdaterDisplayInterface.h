// The reporting channel that every job is given for what a user should see:
// messages at two levels, a progress bar and a spinner.
#ifndef CORVALITH_UPDATER_REPORT_UPDATERDISPLAYINTERFACE_H
#define CORVALITH_UPDATER_REPORT_UPDATERDISPLAYINTERFACE_H

class UpdaterDisplayInterface {
 public:
  enum Level { INFO = 0, ERROR = 1 };

  // Formats into 2048 bytes (longer text is cut); level 1 goes to
  // error_message, every other level to info_message. Nothing when muted.
  void message(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void mute_messages(bool mute) { muted = mute; }

  virtual void display_progress(bool show) = 0;
  virtual void update_progress(double fraction, const char* label) = 0;
  virtual void update_spinner(bool running, const char* label) = 0;
  virtual void info_message(const char* text) = 0;
  virtual void error_message(const char* text) = 0;

  bool muted = false;

 protected:
  // Implementations are owned by their creator and never deleted through
  // this interface.
  ~UpdaterDisplayInterface() = default;
};

#endif
