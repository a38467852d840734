// A pseudo-terminal pair for serial and kernel-device tests: the library
// opens the slave path, the test plays the device on the master.
#ifndef CORVALITH_TESTS_UNIX_PTY_PAIR_H
#define CORVALITH_TESTS_UNIX_PTY_PAIR_H

#include <cstdint>
#include <string>
#include <vector>

class PtyPair {
 public:
  // raw: put the line discipline in raw mode, as a device file would be.
  explicit PtyPair(bool raw = true);
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& slavePath() const { return slavePath_; }
  int master() const { return master_; }

  // Writes all bytes to the master side.
  bool send(const std::vector<uint8_t>& bytes);
  // Reads from the master until count bytes came or timeoutMs passed.
  std::vector<uint8_t> receive(size_t count, int timeoutMs = 2000);
  // Everything that arrives within quietMs of silence.
  std::vector<uint8_t> drain(int quietMs = 100);
  void closeMaster();

 private:
  int master_ = -1;
  std::string slavePath_;
};

#endif
