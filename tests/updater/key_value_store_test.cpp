#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <string>

#include "support/LogCapture.h"
#include "support/TempFiles.h"
#include "updater/KeyValueStore.h"

namespace {

const char* const kOldTime = "Mon Jan  1 00:00:00 2001";

// "Wed Jun 30 21:49:08 1993": weekday, month, day padded with a space,
// time, four-digit year.
bool IsCtime(const std::string& text) {
  const std::string form = "Aaa Aaa _9 99:99:99 9999";
  if (text.size() != form.size()) return false;
  for (size_t i = 0; i < form.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool fits = form[i] == 'A' || form[i] == 'a' ? std::isalpha(c) != 0
                      : form[i] == '9'                 ? std::isdigit(c) != 0
                      : form[i] == '_'                 ? (c == ' ' || std::isdigit(c) != 0)
                                                       : c == static_cast<unsigned char>(form[i]);
    if (!fits) return false;
  }
  return true;
}

struct Parsed {
  bool taken;
  std::string key;
  std::string value;
};

Parsed Parse(const std::string& line) {
  Parsed out{false, "", ""};
  out.taken = KeyValueStore::ParseLine(line.data(), line.size(), &out.key, &out.value);
  return out;
}

}  // namespace

TEST(KeyValueStore, MissingFileIsCreatedWithBothTimes) {
  TempDir dir;
  LogCapture log(DEBUG_Attributes);
  const std::string path = dir / "settings";
  KeyValueStore store(path);
  EXPECT_FALSE(store.modified);
  EXPECT_EQ(path, store.path);

  const std::string text = ReadText(path);
  const std::string created = "CREATED_TIME=";
  const std::string updated = "\nUPDATED_TIME=";
  ASSERT_EQ(created.size() + 24 + updated.size() + 24 + 1, text.size()) << text;
  ASSERT_EQ(0u, text.find(created)) << text;
  ASSERT_EQ(created.size() + 24, text.find(updated)) << text;
  const std::string createdTime = text.substr(created.size(), 24);
  EXPECT_EQ(createdTime, text.substr(created.size() + 24 + updated.size(), 24));
  EXPECT_TRUE(IsCtime(createdTime)) << createdTime;
  EXPECT_EQ('\n', text.back());
  EXPECT_NE(std::string::npos,
            log.text().find("Attibutes: Error - cannot open attributes file: '" + path + "' (2)\n"));

  // Entries added before the first load are kept in the new file.
  const std::string second = dir / "second";
  KeyValueStore seeded;
  EXPECT_TRUE(seeded.Add("LATEST_DOWNLOAD", "1234.bird"));
  EXPECT_EQ(aErrNone, seeded.Load(second.c_str()));
  EXPECT_NE(std::string::npos, ReadText(second).find("LATEST_DOWNLOAD=1234.bird\n"));
  EXPECT_EQ(3u, seeded.entries.size());
}

TEST(KeyValueStore, LineForms) {
  struct Taken {
    const char* line;
    const char* key;
    const char* value;
  };
  const Taken taken[] = {
      {"  KEY  =  some value  \n", "KEY", "some value"},
      {"a=\n", "a", ""},
      {" #a=1\n", "#a", "1"},  // not a comment
      // An empty key: trimming stops at the start of the line.
      {"=v\n", "", "v"},
      {"  \t = x\n", "", "x"},
      // Only the first "=" splits; CR and tabs are white space.
      {"\tURL = http://h/?a=b\t\r\n", "URL", "http://h/?a=b"},
  };
  for (const Taken& t : taken) {
    const Parsed parsed = Parse(t.line);
    EXPECT_TRUE(parsed.taken) << t.line;
    EXPECT_EQ(t.key, parsed.key) << t.line;
    EXPECT_EQ(t.value, parsed.value) << t.line;
  }

  EXPECT_FALSE(Parse("a\n").taken);        // 2 characters
  EXPECT_FALSE(Parse("#a=1\n").taken);     // comment
  EXPECT_FALSE(Parse("no sign\n").taken);  // no "=": skipped, nothing read beyond the line

  // A NUL ends the line; nothing after it is taken.
  const std::string withNul("k=ab\0cd\n", 8);
  const Parsed nul = Parse(withNul);
  EXPECT_EQ("ab", nul.value);
  EXPECT_FALSE(Parse(std::string("\0=value\n", 8)).taken);
}

TEST(KeyValueStore, FileReadingRulesAndLongLines) {
  TempDir dir;
  const std::string path = dir / "s";
  WriteText(path, "# comment\nB = 2\na=1\n\nx\nB=3\nnoequals\n  spaced key =  v  \nlast=no newline");
  KeyValueStore store(path);
  EXPECT_EQ("3", store.GetString("B"));  // a later line replaces the value
  EXPECT_EQ("1", store.GetString("a"));
  EXPECT_EQ("v", store.GetString("spaced key"));
  EXPECT_EQ("no newline", store.GetString("last"));
  EXPECT_EQ(4u, store.entries.size());
  EXPECT_FALSE(store.modified);

  // 2046 characters before the newline still fit the 2048-byte buffer.
  const std::string fits = "k=" + std::string(2044, 'v');
  WriteText(path, fits + "\nz=1\n");
  KeyValueStore longLine(path);
  EXPECT_EQ(2044u, longLine.GetString("k").size());
  EXPECT_EQ("1", longLine.GetString("z"));

  // One more, or many buffers more, and the line is skipped whole: neither
  // its remainder nor the lines after it are lost, and a save keeps them.
  for (const std::string& tooLongLine : {fits + "v", fits + std::string(5000, 'v') + "=w"}) {
    WriteText(path, "a=0\n" + tooLongLine + "\nz=1\n");
    KeyValueStore tooLong(path);
    EXPECT_EQ("0", tooLong.GetString("a"));
    EXPECT_EQ(nullptr, tooLong["k"]);
    EXPECT_EQ(2u, tooLong.entries.size()) << "the remainder is not read as a line";
    EXPECT_EQ("1", tooLong.GetString("z"));
    EXPECT_FALSE(tooLong.readFailed);
    EXPECT_TRUE(tooLong.Add("n", "2"));
    ASSERT_EQ(aErrNone, tooLong.Save());
    EXPECT_EQ("a=0\nn=2\nz=1\n", ReadText(path).substr(ReadText(path).find("a=0")));
  }
}

TEST(KeyValueStore, ExistingFileThatCannotBeReadIsNeverRewritten) {
  TempDir dir;
  // A directory and a FIFO stand for any existing entry that cannot be read
  // (a permission test would not fail for root, which CI runs as).
  const std::string directory = dir / "dir";
  ASSERT_EQ(0, mkdir(directory.c_str(), 0700));
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  for (const std::string& path : {directory, fifo}) {
    KeyValueStore store;
    EXPECT_NE(aErrNone, store.Load(path.c_str())) << path;
    EXPECT_TRUE(store.readFailed) << path;
    EXPECT_TRUE(store.entries.empty()) << "no creation times for a file that exists: " << path;
    EXPECT_TRUE(store.Add("LATEST_DOWNLOAD", "1.bird"));
    EXPECT_EQ(aErrIO, store.Save()) << path;
  }
  struct stat st;
  ASSERT_EQ(0, stat(directory.c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_EQ(0, stat(fifo.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was neither opened blocking nor replaced";

  if (geteuid() != 0) {
    const std::string locked = dir / "locked";
    WriteText(locked, "KEEP=1\n");
    ASSERT_EQ(0, chmod(locked.c_str(), 0));
    KeyValueStore store;
    EXPECT_EQ(aErrPermission, store.Load(locked.c_str()));
    EXPECT_EQ(aErrIO, store.Save());
    ASSERT_EQ(0, chmod(locked.c_str(), 0600));
    EXPECT_EQ("KEEP=1\n", ReadText(locked));
  }
}

TEST(KeyValueStore, TypedReadsAndWrites) {
  TempDir dir;
  const std::string path = dir / "s";
  WriteText(path,
            "HEX=0x000000ff\nBARE=ff\nNUM=-42\nBIG=99999999999\nD=2.5\nBOOL=0\nT=7\nEMPTY=\nJUNK=abc\n");
  KeyValueStore store(path);

  EXPECT_EQ(255u, store.GetHex("HEX", 1));
  EXPECT_EQ(255u, store.GetHex("BARE", 1));
  EXPECT_EQ(-42, store.GetInt("NUM", 1));
  EXPECT_EQ(INT32_MAX, store.GetInt("BIG", 1));
  EXPECT_DOUBLE_EQ(2.5, store.GetDouble("D", 0));
  EXPECT_FALSE(store.GetBOOL("BOOL", true));
  EXPECT_TRUE(store.GetBOOL("T", false));
  EXPECT_EQ(5, store.GetInt("EMPTY", 5));  // empty value: the default
  EXPECT_EQ(0, store.GetInt("JUNK", 5));   // never validated
  EXPECT_FALSE(store.modified);

  // Missing keys: numeric reads create them empty, string reads do not.
  EXPECT_EQ("dflt", store.GetString("NOPE", "dflt"));
  EXPECT_EQ("", store.GetString("NOPE"));
  EXPECT_EQ(nullptr, store["NOPE"]);
  EXPECT_EQ(7, store.GetInt("MISSING", 7));
  ASSERT_NE(nullptr, store["MISSING"]);
  EXPECT_STREQ("", store["MISSING"]);
  EXPECT_FALSE(store.modified);
  EXPECT_EQ("", store.GetString("EMPTY", "dflt"));  // present though empty

  EXPECT_TRUE(store.AddHex("H", 255));
  EXPECT_STREQ("0x000000FF", store["H"]);
  EXPECT_EQ(255u, store.GetHex("H", 0));
  EXPECT_TRUE(store.Add("H", "0xFFFFFFFF"));
  EXPECT_EQ(0xFFFFFFFFu, store.GetHex("H", 0));
  for (const char* beyond : {"0x100000000", "1FFFFFFFF", "FFFFFFFFFFFFFFFFFFFF"}) {
    EXPECT_TRUE(store.Add("H", beyond));
    EXPECT_EQ(3u, store.GetHex("H", 3)) << beyond << " is beyond 32 bits";
  }
  EXPECT_TRUE(store.Add("I", -7));
  EXPECT_STREQ("-7", store["I"]);
  EXPECT_TRUE(store.Add("F", 1.5));
  EXPECT_STREQ("1.500000", store["F"]);
  EXPECT_TRUE(store.Add("S", std::string("text")));
  EXPECT_TRUE(store.Add("N", static_cast<const char*>(nullptr)));
  EXPECT_STREQ("", store["N"]);
  EXPECT_TRUE(store.modified);

  // The created empty key is written as "KEY=" and reads back empty.
  ASSERT_EQ(aErrNone, store.Save());
  EXPECT_NE(std::string::npos, ReadText(path).find("\nMISSING=\n"));
  KeyValueStore again(path);
  EXPECT_EQ(3, again.GetInt("MISSING", 3));
}

TEST(KeyValueStore, UpdateTimeMovesOnlyWithChanges) {
  TempDir dir;
  const std::string path = dir / "s";
  const std::string original =
      std::string("A=1\nCREATED_TIME=") + kOldTime + "\nUPDATED_TIME=" + kOldTime + "\n";
  WriteText(path, original);

  KeyValueStore store(path);
  EXPECT_TRUE(store.Add("A", "1"));
  EXPECT_TRUE(store.Add("A", 1));
  EXPECT_FALSE(store.modified);
  ASSERT_EQ(aErrNone, store.Save());
  EXPECT_EQ(original, ReadText(path));  // load and save without changes rewrites it unchanged

  EXPECT_TRUE(store.Add("A", 2));
  EXPECT_TRUE(store.modified);
  ASSERT_EQ(aErrNone, store.Save());
  EXPECT_FALSE(store.modified);
  KeyValueStore reread(path);
  EXPECT_EQ("2", reread.GetString("A"));
  EXPECT_EQ(kOldTime, reread.GetString("CREATED_TIME"));
  EXPECT_NE(kOldTime, reread.GetString("UPDATED_TIME"));
  EXPECT_TRUE(IsCtime(reread.GetString("UPDATED_TIME")));

  // Merging and clearing always count as changes; loading clears the flag.
  KeyValueStore other;
  EXPECT_TRUE(other.Add("B", "x"));
  EXPECT_TRUE(reread.Add(other));
  EXPECT_TRUE(reread.modified);
  EXPECT_EQ("x", reread.GetString("B"));
  KeyValueStore copy(reread);
  EXPECT_TRUE(copy.modified);
  EXPECT_EQ(reread.entries, copy.entries);
  EXPECT_EQ(aErrNone, reread.Load(path.c_str()));
  EXPECT_FALSE(reread.modified);
  reread.Clear();
  EXPECT_TRUE(reread.modified);
  EXPECT_TRUE(reread.entries.empty());

  // An empty, unmodified store writes an empty file.
  KeyValueStore empty;
  const std::string emptyPath = dir / "empty";
  ASSERT_EQ(aErrNone, empty.Save(emptyPath.c_str()));
  EXPECT_EQ("", ReadText(emptyPath));
}

TEST(KeyValueStore, KeysAreWrittenInByteOrder) {
  TempDir dir;
  KeyValueStore store;
  EXPECT_TRUE(store.Add("b", "2"));
  EXPECT_TRUE(store.Add("B", "1"));
  EXPECT_TRUE(store.Add("a key", "with  inner  spaces"));
  const std::string path = dir / "s";
  ASSERT_EQ(aErrNone, store.Save(path.c_str()));
  const std::string text = ReadText(path);
  EXPECT_EQ(0u, text.find("B=1\n"));
  EXPECT_LT(text.find("UPDATED_TIME="), text.find("a key="));
  EXPECT_LT(text.find("a key="), text.find("b=2\n"));
  KeyValueStore back(path);
  EXPECT_EQ(store.entries, back.entries);
}

TEST(KeyValueStore, SaveReplacesTheFileAtomically) {
  TempDir dir;
  LogCapture log(DEBUG_Attributes);
  const std::string path = dir / ".settings";
  KeyValueStore store(path);
  ASSERT_EQ(0, chmod(path.c_str(), 0600));
  EXPECT_TRUE(store.Add("K", "v"));
  ASSERT_EQ(aErrNone, store.Save());
  struct stat st;
  ASSERT_EQ(0, stat(path.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 07777);
  EXPECT_EQ((std::vector<std::string>{".settings"}), ListNames(dir.path()));

  // A write that fails part-way (the file-size limit stands in for a full
  // disk) leaves the old file whole, no temporary file, and the store
  // modified so a later Save retries.
  const std::string before = ReadText(path);
  EXPECT_TRUE(store.Add("BIG", std::string(1500, 'x')));
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  struct rlimit limited = saved;
  limited.rlim_cur = 1024;
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
  const aErr failed = store.Save();
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &saved));
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(aErrIO, failed);
  EXPECT_TRUE(store.modified);
  EXPECT_EQ(before, ReadText(path));
  EXPECT_EQ((std::vector<std::string>{".settings"}), ListNames(dir.path()));
  EXPECT_NE(std::string::npos, log.text().find("Attibutes: Error - cannot write attributes file: '" + path));

  ASSERT_EQ(aErrNone, store.Save());
  EXPECT_FALSE(store.modified);
  EXPECT_EQ(1500u, KeyValueStore(path).GetString("BIG").size());

  // A directory that does not exist: the open fails and is logged.
  EXPECT_TRUE(store.Add("AFTER", "1"));
  const std::string nowhere = dir / "missing/settings";
  EXPECT_EQ(aErrNotFound, store.Save(nowhere.c_str()));
  EXPECT_TRUE(store.modified);
  EXPECT_NE(std::string::npos,
            log.text().find("Attibutes: Error - cannot open attributes file for writting: '" + nowhere +
                            "' (2)\n"));
}

TEST(KeyValueStore, SaveWithoutPathUsesTheDefaultName) {
  TempDir dir;
  LogCapture log(DEBUG_Attributes);
  char cwd[4096];
  ASSERT_NE(nullptr, getcwd(cwd, sizeof(cwd)));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  KeyValueStore store;
  EXPECT_TRUE(store.Add("K", "v"));
  const aErr err = store.Save();
  ASSERT_EQ(0, chdir(cwd));
  EXPECT_EQ(aErrNone, err);
  EXPECT_EQ(".settings", store.path);
  EXPECT_NE(std::string::npos, ReadText(dir / ".settings").find("K=v\n"));
  EXPECT_NE(std::string::npos,
            log.text().find("Attibutes: no filename given for attributes, using default:[.settings]\n"));
}
