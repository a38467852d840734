// A small set of named text values kept in memory and in a plain text file,
// one "key=value" line each, in byte-wise key order. Every device directory of
// the local store has one (".settings") recording downloads and transfers.
// The file also records when it was created and last changed. Diagnostics go
// to the debug log (DEBUG_Attributes).
#ifndef CORVALITH_UPDATER_KEYVALUESTORE_H
#define CORVALITH_UPDATER_KEYVALUESTORE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "common/aErr.h"

class KeyValueStore {
 public:
  static const char* const DEFAULT_FILENAME;  // ".settings"
  static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
  static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"
  // Line buffer of a read, newline and terminator included.
  static constexpr size_t kLineBufferSize = 2048;

  KeyValueStore() = default;
  // Loads the file at once; a missing one is created (see Load).
  explicit KeyValueStore(const char* filePath);
  explicit KeyValueStore(const std::string& filePath) : KeyValueStore(filePath.c_str()) {}
  KeyValueStore(const KeyValueStore& other) = default;
  KeyValueStore& operator=(const KeyValueStore& other) = default;
  KeyValueStore(KeyValueStore&& other) = default;
  KeyValueStore& operator=(KeyValueStore&& other) = default;

  // Reads the file on top of the entries held; a line longer than the line
  // buffer is skipped. Only a file that does not exist is created, with the
  // creation and update times (the result of writing it is returned). A file
  // that exists but cannot be read whole gives aErrPermission or aErrIO and
  // sets readFailed; aErrParam for no path.
  [[nodiscard]] aErr Load(const char* filePath);
  // Writes every entry; replaces the file atomically. A null or empty path
  // means the path loaded from (or ".settings"). Leaves `modified` set on
  // failure so a later Save retries. aErrIO, writing nothing, while
  // readFailed is set.
  [[nodiscard]] aErr Save(const char* filePath = nullptr);

  // Absent key: returns the default and creates the key with an empty value.
  // Empty value: returns the default.
  int32_t GetInt(const char* key, int32_t defaultValue);
  uint32_t GetHex(const char* key, uint32_t defaultValue);
  bool GetBOOL(const char* key, bool defaultValue);
  double GetDouble(const char* key, double defaultValue);
  // The value when present (even empty), else the default; creates nothing.
  std::string GetString(const char* key, const char* defaultValue = nullptr) const;
  // The value text, or null when absent; valid until the store changes.
  const char* operator[](const char* key) const;

  // Each write sets `modified` when the stored text changes; always true.
  [[nodiscard]] bool Add(const char* key, int32_t value);
  [[nodiscard]] bool Add(const char* key, double value);
  [[nodiscard]] bool Add(const char* key, const char* value);
  [[nodiscard]] bool Add(const char* key, const std::string& value);
  [[nodiscard]] bool AddHex(const char* key, uint32_t value);
  // Copies every entry of other, replacing equal keys.
  [[nodiscard]] bool Add(const KeyValueStore& other);
  void Clear();

  // The file's text: "key=value\n" per entry in key order.
  std::string Serialize() const;
  // Parses one line as read from the file (newline included, at most length
  // bytes, stops at a NUL). False for lines that carry no entry: shorter than
  // 3 characters, comments, lines without "=".
  [[nodiscard]] static bool ParseLine(const char* line, size_t length, std::string* key, std::string* value);
  // The current local time in the 24-character ctime form, without newline.
  static std::string CurrentTime();

  std::string path;
  std::map<std::string, std::string> entries;
  bool modified = false;
  // The last Load met a file it could not read whole; Save refuses.
  bool readFailed = false;

 private:
  // Value of a key for the typed reads: null when absent (then created empty)
  // or empty.
  const char* NumericText(const char* key);
  [[nodiscard]] bool Store(const char* key, const std::string& text);
};

#endif
