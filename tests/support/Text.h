// Program output as tests compare it.
#ifndef CORVALITH_TESTS_SUPPORT_TEXT_H
#define CORVALITH_TESTS_SUPPORT_TEXT_H

#include <sstream>
#include <string>
#include <vector>

// The lines of text without their newlines; a last line without one counts.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

#endif
