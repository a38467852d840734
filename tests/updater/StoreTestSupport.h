// Helpers for the firmware-file, settings and store tests: a temporary
// directory removed with everything in it, whole-file reads and writes, a
// captured debug log and a display that records its messages.
#ifndef CORVALITH_TESTS_UPDATER_STORETESTSUPPORT_H
#define CORVALITH_TESTS_UPDATER_STORETESTSUPPORT_H

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "updater/report/Log.h"
#include "updater/report/UpdaterDisplayInterface.h"

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<uint8_t> ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteText(const std::string& path, const std::string& text);
void MakeDirectory(const std::string& path);
// Names in a directory, sorted, without "." and "..".
std::vector<std::string> ListNames(const std::string& path);
// Every file below root (relative path -> content), for "nothing changed".
std::map<std::string, std::string> SnapshotTree(const std::string& root);

// Sends the debug log of the given packages to a temporary file for the
// lifetime of the object, then restores the logger.
class CapturedLog {
 public:
  explicit CapturedLog(uint32_t packages);
  ~CapturedLog();
  CapturedLog(const CapturedLog&) = delete;
  CapturedLog& operator=(const CapturedLog&) = delete;
  std::string text() const;

 private:
  uint32_t savedMask_;
  FILE* savedFile_;
  bool savedStamp_;
  FILE* file_;
};

#endif
