// The progress bar's width next to long labels: every label that still leaves
// a positive width draws exactly that width, down to a single column.
#include <gtest/gtest.h>

#include <string>

#include "app/CLI_Display.h"

namespace {

struct Terminal {
  std::string out;
  CLI_Display display{[this](const std::string& t) { out += t; }, [](const std::string&) {}, true};
};

std::string sLabelled(const std::string& label, int filled, int pad, const char* percent) {
  std::string padText = pad < 0 ? std::string(1, ' ') : std::string(static_cast<size_t>(pad), ' ');
  return "\r (" + label + ") [" + std::string(static_cast<size_t>(filled), '=') + ">" + padText + "] (" +
         percent + "% ) ";
}

TEST(ProgressBarWidthTest, LabelsThatLeaveASmallWidthKeepIt) {
  struct Case {
    size_t labelLength;
    double fraction;
    int filled;
    int pad;
    const char* percent;
  };
  // Width 69 - length - 4: 9 for 56 characters, 5 for 60, 1 for 64.
  const Case cases[] = {
      {56, 0.5, 4, 4, " 50"}, {56, 1.0, 9, -1, "100"}, {60, 0.0, 0, 4, "  0"},
      {60, 0.8, 4, 0, " 80"}, {64, 0.5, 0, 0, " 50"},  {64, 1.0, 1, -1, "100"},
  };
  for (const Case& c : cases) {
    Terminal t;
    const std::string label(c.labelLength, 'x');
    t.display.update_progress(c.fraction, label.c_str());
    EXPECT_EQ(t.out, sLabelled(label, c.filled, c.pad, c.percent))
        << "label of " << c.labelLength << " at " << c.fraction;
  }
}

TEST(ProgressBarWidthTest, LabelLeavingNoWidthStillDrawsABar) {
  for (size_t length : {65u, 80u}) {
    Terminal t;
    const std::string label(length, 'y');
    t.display.update_progress(0.5, label.c_str());
    // Whatever its width, the bar is drawn whole: a ">" and a closing "]".
    ASSERT_NE(t.out.find("] ( 50% ) "), std::string::npos) << length;
    EXPECT_NE(t.out.find(">"), std::string::npos) << length;
  }
}

}  // namespace
