#include "support/TempFiles.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

void sRemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    // Tests may have taken permissions away; give them back to clean up.
    (void)chmod(path.c_str(), 0700);
    for (const std::string& name : ListNames(path)) sRemoveTree(path + "/" + name);
    (void)rmdir(path.c_str());
  } else {
    (void)unlink(path.c_str());
  }
}

void sSnapshot(const std::string& root, const std::string& relative,
               std::map<std::string, std::string>& out) {
  const std::string full = relative.empty() ? root : root + "/" + relative;
  struct stat st;
  if (lstat(full.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    out[relative + "/"] = "";
    for (const std::string& name : ListNames(full)) {
      sSnapshot(root, relative.empty() ? name : relative + "/" + name, out);
    }
  } else {
    out[relative] = ReadText(full);
  }
}

}  // namespace

TempDir::TempDir(const std::string& base) {
  const char* tmp = getenv("TMPDIR");
  std::string pattern = (base.empty() ? std::string(tmp && *tmp ? tmp : "/tmp") : base) + "/cv-test-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  sRemoveTree(path_);
}

std::string TempDir::write(const std::string& name, const std::string& contents) const {
  const std::string full = *this / name;
  WriteText(full, contents);
  return full;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

void MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("cannot create " + path);
}

std::vector<std::string> ListNames(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::map<std::string, std::string> SnapshotTree(const std::string& root) {
  std::map<std::string, std::string> out;
  sSnapshot(root, "", out);
  return out;
}
