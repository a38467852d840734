// Files for tests: a temporary directory removed with everything in it,
// whole-file reads and writes, listings and snapshots of a tree.
#ifndef CORVALITH_TESTS_SUPPORT_TEMPFILES_H
#define CORVALITH_TESTS_SUPPORT_TEMPFILES_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class TempDir {
 public:
  // A fresh directory below base, or below $TMPDIR (else /tmp) when base is
  // empty; throws when none can be made.
  explicit TempDir(const std::string& base = "");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Writes a file below path() and returns its full path.
  std::string write(const std::string& name, const std::string& contents) const;

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

#endif
