// Replays fuzz corpus files through LLVMFuzzerTestOneInput when no fuzzing
// engine is linked. Arguments are files or directories (read one level deep).
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int sRunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  int runs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st {};
    if (stat(argv[i], &st) != 0) {
      std::fprintf(stderr, "missing %s\n", argv[i]);
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      failures += sRunFile(argv[i]);
      ++runs;
      continue;
    }
    DIR* dir = opendir(argv[i]);
    if (!dir) return 1;
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] == '.') continue;
      failures += sRunFile(std::string(argv[i]) + "/" + e->d_name);
      ++runs;
    }
    closedir(dir);
  }
  std::printf("replayed %d inputs\n", runs);
  return failures ? 1 : 0;
}
