#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <cmath>
#include <string>

#include "app/CLI_Display.h"

namespace {

struct Screen {
  std::string out;
  std::string err;
  CLI_Display display;

  explicit Screen(bool terminal)
      : display([this](const std::string& t) { out += t; }, [this](const std::string& t) { err += t; },
                terminal) {}
};

std::string sBar(int filled, int pad) {
  return std::string(filled, '=') + ">" + std::string(pad, ' ');
}

TEST(CLIDisplayTest, ProgressBarWithoutLabel) {
  Screen s(true);
  s.display.update_progress(0.5, nullptr);
  EXPECT_EQ(s.out, "\r[" + sBar(34, 34) + "] ( 50% ) ");

  s.out.clear();
  s.display.update_progress(0.0, nullptr);
  EXPECT_EQ(s.out, "\r[" + sBar(0, 68) + "] (  0% ) ");

  // Full: the padding width is -1, which printf draws as one space.
  s.out.clear();
  s.display.update_progress(1.0, nullptr);
  EXPECT_EQ(s.out, "\r[" + sBar(69, 1) + "] (100% ) ");

  s.out.clear();
  s.display.update_progress(0.999, nullptr);
  EXPECT_EQ(s.out, "\r[" + sBar(68, 0) + "] ( 99% ) ");
}

TEST(CLIDisplayTest, ProgressBarWithLabel) {
  Screen s(true);
  // Width 69 - 5 - 4 = 60.
  s.display.update_progress(0.25, "Block");
  EXPECT_EQ(s.out, "\r (Block) [" + sBar(15, 44) + "] ( 25% ) ");
}

TEST(CLIDisplayTest, OverlongLabelKeepsMinimumBar) {
  Screen s(true);
  std::string label(65, 'L');  // would leave a width of 0
  s.display.update_progress(0.5, label.c_str());
  EXPECT_EQ(s.out, "\r (" + label + ") [" + sBar(5, 4) + "] ( 50% ) ");
}

TEST(CLIDisplayTest, FractionOutsideRangeIsClamped) {
  Screen s(true);
  s.display.update_progress(-0.5, nullptr);
  EXPECT_EQ(s.out, "\r[" + sBar(0, 68) + "] (  0% ) ");
  s.out.clear();
  s.display.update_progress(7.0, nullptr);
  EXPECT_EQ(s.out, "\r[" + sBar(69, 1) + "] (100% ) ");
  s.out.clear();
  s.display.update_progress(std::nan(""), nullptr);
  EXPECT_EQ(s.out, "\r[" + sBar(0, 68) + "] (  0% ) ");
}

TEST(CLIDisplayTest, ClearingTheLine) {
  const std::string clear = "\r" + std::string(88, ' ') + "\r";
  Screen s(true);
  s.display.display_progress(true);
  EXPECT_EQ(s.out, "");
  s.display.display_progress(false);
  EXPECT_EQ(s.out, clear);
  s.out.clear();
  s.display.update_spinner(false, "ignored");
  EXPECT_EQ(s.out, clear);
}

TEST(CLIDisplayTest, SpinnerCyclesEightFramesAcrossCalls) {
  CLI_Display::spinnerIndex = 0;
  Screen s(true);
  const char* frames[] = {".", "..", "...", "....", ".....", "....", "...", "..", "."};
  for (const char* frame : frames) {
    s.out.clear();
    s.display.update_spinner(true, nullptr);
    EXPECT_EQ(s.out, std::string("\r ") + frame + "      \r");
  }
  EXPECT_EQ(CLI_Display::spinnerIndex, 1);

  Screen other(true);
  other.display.update_spinner(true, "Downloading");
  EXPECT_EQ(other.out, "\r (Downloading) ..      \r") << "the frame counter is shared";
}

TEST(CLIDisplayTest, NothingDrawnWhenNotATerminal) {
  CLI_Display::spinnerIndex = 3;
  Screen s(false);
  s.display.update_progress(0.5, "x");
  s.display.update_spinner(true, nullptr);
  s.display.update_spinner(false, nullptr);
  s.display.display_progress(false);
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(CLI_Display::spinnerIndex, 3) << "a suppressed spinner does not turn";
  s.display.info_message("line");
  EXPECT_EQ(s.out, "line\n");
}

TEST(CLIDisplayTest, MessagesGoToTheirStreams) {
  Screen s(false);
  s.display.message(UpdaterDisplayInterface::INFO, "info %d", 1);
  s.display.message(UpdaterDisplayInterface::ERROR, "error %s", "two");
  s.display.message(7, "other level");
  EXPECT_EQ(s.out, "info 1\nother level\n");
  EXPECT_EQ(s.err, "error two\n");
}

TEST(CLIDisplayTest, LongMessagesAreCutAt2048Bytes) {
  Screen s(false);
  std::string text(3000, 'a');
  s.display.message(UpdaterDisplayInterface::ERROR, "%s", text.c_str());
  EXPECT_EQ(s.err, std::string(2047, 'a') + "\n");
}

TEST(CLIDisplayTest, MutingDropsMessagesButNotProgress) {
  Screen s(true);
  s.display.mute_messages(true);
  s.display.message(UpdaterDisplayInterface::INFO, "hidden");
  s.display.message(UpdaterDisplayInterface::ERROR, "hidden");
  EXPECT_EQ(s.out, "");
  EXPECT_EQ(s.err, "");
  s.display.update_progress(0.5, nullptr);
  EXPECT_FALSE(s.out.empty());
  s.out.clear();
  s.display.mute_messages(false);
  s.display.message(UpdaterDisplayInterface::INFO, "shown");
  EXPECT_EQ(s.out, "shown\n");
}

}  // namespace

namespace {

// Standard output pointed at another file for one scope.
class StdoutRedirect {
 public:
  explicit StdoutRedirect(int fd) : saved_(dup(STDOUT_FILENO)) {
    fflush(stdout);
    dup2(fd, STDOUT_FILENO);
  }
  ~StdoutRedirect() {
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

std::string sDrain(int fd) {
  std::string text;
  for (int reads = 0; reads < 100; reads++) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) break;
    char buffer[512];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

TEST(CLIDisplayTest, ConsoleDrawsOnlyOnATerminal) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  {
    StdoutRedirect redirect(slave);
    CLI_Display display;
    display.update_progress(0.5, nullptr);
  }
  EXPECT_EQ(sDrain(master), "\r[" + sBar(34, 34) + "] ( 50% ) ");
  close(slave);
  close(master);

  FILE* file = tmpfile();
  ASSERT_NE(file, nullptr);
  {
    StdoutRedirect redirect(fileno(file));
    CLI_Display display;
    display.update_progress(0.5, nullptr);
    display.update_spinner(true, "x");
    display.info_message("only this");
  }
  rewind(file);
  char buffer[64] = {0};
  size_t n = fread(buffer, 1, sizeof(buffer) - 1, file);
  EXPECT_EQ(std::string(buffer, n), "only this\n");
  fclose(file);
}

}  // namespace
