#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "unix/aFile.h"
#include "unix/os_test_support.h"

namespace {

// Reads what is left from the handle's position, in small pieces.
std::string sReadRest(aFileRef file) {
  std::string all;
  char chunk[7];
  size_t got = 0;
  for (int i = 0; i < 1000 && aFile_Read(file, chunk, sizeof chunk, &got) == aErrNone; ++i) {
    all.append(chunk, got);
  }
  return all;
}

// A path of exactly length characters naming dir/name, padded with doubled
// separators, which the system reads as one.
std::string sPaddedPath(const std::string& dir, const std::string& name, size_t length) {
  const size_t slashes = length - dir.size() - name.size();
  return dir + std::string(slashes, '/') + name;
}

TEST(FileTest, ExistsOnlyForEntriesThatAreNotDirectories) {
  TempDir dir;
  const std::string file = dir.write("f", "x");
  EXPECT_TRUE(aFile_Exists(file.c_str()));
  EXPECT_FALSE(aFile_Exists(dir.path().c_str())) << "a directory is not a file";
  EXPECT_FALSE(aFile_Exists((dir / "missing").c_str()));
  EXPECT_FALSE(aFile_Exists(nullptr));
  EXPECT_FALSE(aFile_Exists(""));
}

TEST(FileTest, PathLengthLimitIs4096Characters) {
  TempDir dir;
  dir.write("f", "data");
  // The kernel's own limit is one less than ours, so 4095 is the longest usable.
  const std::string usable = sPaddedPath(dir.path(), "f", 4095);
  ASSERT_EQ(usable.size(), 4095u);
  EXPECT_TRUE(aFile_Exists(usable.c_str()));
  aFileRef file = aFile_Open(usable.c_str(), aFileModeReadOnly);
  EXPECT_NE(file, nullptr);
  EXPECT_EQ(aFile_Close(&file), aErrNone);

  const std::string tooLong = sPaddedPath(dir.path(), "f", 4097);
  EXPECT_FALSE(aFile_Exists(tooLong.c_str()));
  EXPECT_EQ(aFile_Open(tooLong.c_str(), aFileModeReadOnly), nullptr);
  EXPECT_EQ(aFile_Delete(tooLong.c_str()), aErrFileNameLength);
  EXPECT_NE(aFile_Delete(sPaddedPath(dir.path(), "f", 4096).c_str()), aErrFileNameLength)
      << "4096 characters are within the limit and go to the system";
  EXPECT_TRUE(aFile_Exists(usable.c_str())) << "nothing may be deleted by refused paths";
  EXPECT_EQ(aFile_Delete(usable.c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists((dir / "f").c_str()));
}

TEST(FileTest, OpenRefusesBadArguments) {
  TempDir dir;
  const std::string file = dir.write("f", "x");
  EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
  EXPECT_EQ(aFile_Open("", aFileModeWriteOnly), nullptr);
  EXPECT_EQ(aFile_Open(file.c_str(), aFileModeUnknown), nullptr);
  EXPECT_EQ(aFile_Open(file.c_str(), static_cast<aFileMode>(9)), nullptr);
  EXPECT_EQ(aFile_Open((dir / "missing").c_str(), aFileModeReadOnly), nullptr);
  EXPECT_EQ(aFile_Open((dir / "no/such/dir").c_str(), aFileModeWriteOnly), nullptr);
  EXPECT_EQ(ReadText(file), "x") << "a refused mode must not touch the file";
}

TEST(FileTest, OpenRefusesNonRegularFilesWithoutBlocking) {
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A blocking open of a FIFO without a peer would never return here.
  for (const char* path : {fifo.c_str(), dir.path().c_str()}) {
    for (aFileMode mode : {aFileModeReadOnly, aFileModeWriteOnly, aFileModeAppend}) {
      errno = 0;
      aFileRef file = aFile_Open(path, mode);
      EXPECT_EQ(file, nullptr) << path << " mode " << mode;
      EXPECT_NE(errno, 0) << path << " mode " << mode;
      if (file) (void)aFile_Close(&file);
    }
  }
  struct stat st;
  ASSERT_EQ(stat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO is left as it was";
  EXPECT_EQ(aFile_Open("/dev/null", aFileModeReadOnly), nullptr) << "reads come from regular files only";
  aFileRef sink = aFile_Open("/dev/null", aFileModeAppend);
  EXPECT_NE(sink, nullptr) << "a log may go to a character device";
  if (sink) {
    EXPECT_EQ(aFile_Close(&sink), aErrNone);
  }
}

TEST(FileTest, ClosedOrForgedHandlesAreRefused) {
  TempDir dir;
  aFileRef file = aFile_Open((dir / "f").c_str(), aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(file, nullptr) << "close must null the caller's handle";
  EXPECT_EQ(aFile_Close(&file), aErrParam);
  EXPECT_EQ(aFile_Close(nullptr), aErrParam);

  char buffer[8] = "x";
  size_t count = 99;
  size_t size = 99;
  EXPECT_EQ(aFile_Read(file, buffer, 1, &count), aErrParam);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Write(file, "a", 1, &count), aErrParam);
  EXPECT_EQ(aFile_Seek(file, 0, 0), aErrParam);
  EXPECT_EQ(aFile_GetSize(file, &size), aErrParam);
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &count), aErrParam);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(aFile_Printf(file, "%d", 1), aErrParam);
  EXPECT_EQ(aFile_SetUnbuffered(file), aErrParam);

  // A record without the validity mark (never opened, or closed) is refused
  // and must not be freed; the caller's handle is still nulled.
  alignas(16) unsigned char zeros[64] = {};
  aFileRef forged = reinterpret_cast<aFileRef>(zeros);
  EXPECT_EQ(aFile_Read(forged, buffer, 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Write(forged, "a", 1, nullptr), aErrParam);
  EXPECT_EQ(aFile_Close(&forged), aErrParam);
  EXPECT_EQ(forged, nullptr);
}

TEST(FileTest, WriteModeTruncatesAndRefusesReading) {
  TempDir dir;
  const std::string path = dir.write("f", "old contents that must go");
  aFileRef file = aFile_Open(path.c_str(), aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  size_t count = 0;
  EXPECT_EQ(aFile_Write(file, "abc", 3, &count), aErrNone);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(aFile_Write(file, "", 0, &count), aErrNone) << "nothing asked, nothing failed";
  EXPECT_EQ(aFile_Write(file, nullptr, 1, &count), aErrParam);
  EXPECT_EQ(aFile_Printf(file, "-%02d-%s", 7, "z"), aErrNone);
  char buffer[8];
  EXPECT_EQ(aFile_Read(file, buffer, 1, &count), aErrMode);
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &count), aErrMode);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(ReadText(path), "abc-07-z");
}

TEST(FileTest, ReadModeRefusesWritingAndReportsEndOfFile) {
  TempDir dir;
  const std::string path = dir.write("f", "0123456789");
  aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Write(file, "x", 1, nullptr), aErrMode);
  EXPECT_EQ(aFile_Printf(file, "x"), aErrMode);
  EXPECT_EQ(aFile_SetUnbuffered(file), aErrMode);

  char buffer[16] = {};
  size_t count = 0;
  EXPECT_EQ(aFile_Read(file, nullptr, 1, &count), aErrParam);
  EXPECT_EQ(aFile_Read(file, buffer, 4, &count), aErrNone);
  EXPECT_EQ(std::string(buffer, count), "0123");
  EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrNone) << "a short read is no error";
  EXPECT_EQ(std::string(buffer, count), "456789");
  count = 42;
  EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrEOF);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(aFile_Read(file, buffer, 0, &count), aErrNone) << "zero bytes asked is not end of file";
  EXPECT_EQ(aFile_Read(file, buffer, 1, nullptr), aErrEOF);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(ReadText(path), "0123456789");
}

TEST(FileTest, AppendModeCreatesStartsAtTheEndAndAlwaysWritesThere) {
  TempDir dir;
  const std::string path = dir / "log";
  aFileRef file = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr) << "append creates a missing file";
  EXPECT_EQ(aFile_Write(file, "hello\n", 6, nullptr), aErrNone);
  EXPECT_EQ(aFile_Close(&file), aErrNone);

  file = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(file, nullptr);
  char buffer[32] = {};
  size_t count = 0;
  EXPECT_EQ(aFile_Read(file, buffer, sizeof buffer, &count), aErrEOF)
      << "positioned at the end after opening";
  ASSERT_EQ(aFile_Seek(file, 0, 0), aErrNone);
  EXPECT_EQ(aFile_Read(file, buffer, 2, &count), aErrNone);
  EXPECT_EQ(std::string(buffer, count), "he");
  // Written in the middle of reading, still lands at the end.
  EXPECT_EQ(aFile_Write(file, "X", 1, nullptr), aErrNone);
  EXPECT_EQ(aFile_Printf(file, "%s\n", "world"), aErrNone);
  ASSERT_EQ(aFile_Seek(file, 0, 0), aErrNone);
  EXPECT_EQ(sReadRest(file), "hello\nXworld\n");
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &count), aErrEOF);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
  EXPECT_EQ(ReadText(path), "hello\nXworld\n");
}

TEST(FileTest, SeekStaysWithinTheFile) {
  TempDir dir;
  const std::string path = dir.write("f", "0123456789");
  aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(file, nullptr);
  char c = 0;
  auto next = [&]() {
    size_t got = 0;
    return aFile_Read(file, &c, 1, &got) == aErrNone && got == 1 ? c : '!';
  };
  EXPECT_EQ(aFile_Seek(file, 3, 0), aErrNone);
  EXPECT_EQ(next(), '3');
  EXPECT_EQ(aFile_Seek(file, 2, 1), aErrNone);
  EXPECT_EQ(next(), '6');
  EXPECT_EQ(aFile_Seek(file, -2, 2), aErrNone);
  EXPECT_EQ(next(), '8');
  EXPECT_EQ(aFile_Seek(file, -10, 2), aErrNone);
  EXPECT_EQ(next(), '0');

  ASSERT_EQ(aFile_Seek(file, 4, 0), aErrNone);
  EXPECT_EQ(aFile_Seek(file, 11, 0), aErrRange) << "one byte beyond the size";
  EXPECT_EQ(aFile_Seek(file, 7, 1), aErrRange);
  EXPECT_EQ(aFile_Seek(file, 1, 2), aErrRange);
  EXPECT_EQ(aFile_Seek(file, -1, 0), aErrRange);
  EXPECT_EQ(aFile_Seek(file, -5, 1), aErrRange);
  EXPECT_EQ(aFile_Seek(file, -11, 2), aErrRange);
  EXPECT_EQ(aFile_Seek(file, LONG_MAX, 1), aErrRange) << "must not overflow into a valid target";
  EXPECT_EQ(aFile_Seek(file, LONG_MIN, 2), aErrRange);
  EXPECT_EQ(aFile_Seek(file, 0, 3), aErrParam);
  EXPECT_EQ(next(), '4') << "refused moves leave the position where it was";

  EXPECT_EQ(aFile_Seek(file, 10, 0), aErrNone) << "the end itself is a valid target";
  size_t got = 0;
  EXPECT_EQ(aFile_Read(file, &c, 1, &got), aErrEOF);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST(FileTest, GetSizeKeepsThePositionAndCountsUnflushedWrites) {
  TempDir dir;
  const std::string path = dir.write("f", "abcdef");
  aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(aFile_Seek(file, 2, 0), aErrNone);
  size_t size = 0;
  EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(aFile_GetSize(file, nullptr), aErrParam);
  char c = 0;
  EXPECT_EQ(aFile_Read(file, &c, 1, nullptr), aErrNone);
  EXPECT_EQ(c, 'c');
  EXPECT_EQ(aFile_Close(&file), aErrNone);

  file = aFile_Open((dir / "g").c_str(), aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_Printf(file, "%05d", 42), aErrNone);
  EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST(FileTest, ReadLineKeepsNewlinesAndReportsOverrunAndEnd) {
  TempDir dir;
  const std::string path = dir.write("f", "abcdefghij\nxy\n\nlast");
  aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
  ASSERT_NE(file, nullptr);
  char small[5];
  size_t length = 99;
  EXPECT_EQ(aFile_ReadLine(file, small, sizeof small, &length), aErrOverrun);
  EXPECT_STREQ(small, "abcd") << "the part read stays, terminated";
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(aFile_ReadLine(file, small, sizeof small, &length), aErrOverrun);
  EXPECT_STREQ(small, "efgh");
  EXPECT_EQ(aFile_ReadLine(file, small, sizeof small, &length), aErrNone);
  EXPECT_STREQ(small, "ij\n");
  EXPECT_EQ(length, 3u);

  char buffer[64];
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_STREQ(buffer, "xy\n");
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrNone);
  EXPECT_STREQ(buffer, "\n");
  EXPECT_EQ(length, 1u);
  // Exactly fills the buffer at the end of the file: complete, not an overrun.
  EXPECT_EQ(aFile_ReadLine(file, small, sizeof small, &length), aErrNone);
  EXPECT_STREQ(small, "last");
  length = 99;
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, &length), aErrEOF);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(aFile_ReadLine(file, nullptr, 4, &length), aErrParam);
  EXPECT_EQ(aFile_ReadLine(file, buffer, 0, &length), aErrParam);
  EXPECT_EQ(aFile_Close(&file), aErrNone);

  const std::string empty = dir.write("empty", "");
  file = aFile_Open(empty.c_str(), aFileModeReadOnly);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof buffer, nullptr), aErrEOF);
  EXPECT_EQ(aFile_Close(&file), aErrNone);
}

TEST(FileTest, UnbufferedWritesAreVisibleAtOnce) {
  TempDir dir;
  const std::string path = dir / "packets.log";
  aFileRef file = aFile_Open(path.c_str(), aFileModeWriteOnly);
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(aFile_SetUnbuffered(file), aErrNone);
  EXPECT_EQ(aFile_Printf(file, "pkt %d\n", 1), aErrNone);
  EXPECT_EQ(ReadText(path), "pkt 1\n") << "another reader sees it before close";
  EXPECT_EQ(aFile_Close(&file), aErrNone);

  aFileRef append = aFile_Open(path.c_str(), aFileModeAppend);
  ASSERT_NE(append, nullptr);
  EXPECT_EQ(aFile_SetUnbuffered(append), aErrNone);
  EXPECT_EQ(aFile_Write(append, "pkt 2\n", 6, nullptr), aErrNone);
  EXPECT_EQ(ReadText(path), "pkt 1\npkt 2\n");
  EXPECT_EQ(aFile_Close(&append), aErrNone);
}

TEST(FileTest, DataThatNeverReachesTheDiskIsReported) {
  // /dev/full refuses every write with "no space left".
  if (!aFile_Exists("/dev/full")) {
    GTEST_SKIP() << "no /dev/full here";
  }
  aFileRef buffered = aFile_Open("/dev/full", aFileModeWriteOnly);
  ASSERT_NE(buffered, nullptr);
  EXPECT_EQ(aFile_Write(buffered, "abc", 3, nullptr), aErrNone) << "still in the stream's buffer";
  EXPECT_EQ(aFile_Close(&buffered), aErrIO) << "the lost bytes surface at close";
  EXPECT_EQ(buffered, nullptr);

  aFileRef direct = aFile_Open("/dev/full", aFileModeWriteOnly);
  ASSERT_NE(direct, nullptr);
  ASSERT_EQ(aFile_SetUnbuffered(direct), aErrNone);
  size_t written = 99;
  EXPECT_EQ(aFile_Write(direct, "abc", 3, &written), aErrIO);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(aFile_Printf(direct, "%d", 12345), aErrIO);
  EXPECT_EQ(aFile_Close(&direct), aErrNone);
}

TEST(FileTest, DeleteRemovesOnlyFilesAndNamesTheReason) {
  TempDir dir;
  const std::string path = dir.write("f", "x");
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
  EXPECT_FALSE(aFile_Exists(path.c_str()));
  EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
  EXPECT_EQ(aFile_Delete(nullptr), aErrParam);

  ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
  EXPECT_EQ(aFile_Delete((dir / "d").c_str()), aErrIO);
  struct stat st;
  EXPECT_EQ(stat((dir / "d").c_str(), &st), 0) << "an empty directory must survive";
}

TEST(FileTest, DeleteWithoutRightsIsAPermissionError) {
  if (!CanSwitchUser()) {
    GTEST_SKIP() << "needs root to act as an unprivileged user";
  }
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string path = dir.write("f", "x");
  const ChildResult child = RunInChild(kNobodyUid, [&] { return aFile_Delete(path.c_str()); });
  ASSERT_TRUE(child.finished);
  EXPECT_EQ(child.exitCode, aErrPermission);
  EXPECT_TRUE(aFile_Exists(path.c_str()));
}

TEST(FileTest, ReplaceSwapsTheWholeFileAndKeepsItsMode) {
  TempDir dir;
  const std::string path = dir.write("settings", "old contents that are longer");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  int sysError = -1;
  EXPECT_EQ(aFile_Replace(path.c_str(), "new", 3, &sysError), aErrNone);
  EXPECT_EQ(sysError, 0);
  EXPECT_EQ(ReadText(path), "new");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  EXPECT_EQ(aFile_Replace((dir / "fresh").c_str(), "", 0), aErrNone) << "creates, empty data included";
  EXPECT_EQ(ReadText(dir / "fresh"), "");
  EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"fresh", "settings"})) << "no temporary left";
}

TEST(FileTest, RefusedReplaceLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  const std::string path = dir.write("f", "kept");
  MakeDirectory(dir / "d");
  struct Case {
    const char* what;
    std::string path;
    const void* data;
    size_t size;
    aErr result;
    int sysError;
  };
  const Case cases[] = {
      {"null path", "", "x", 1, aErrParam, EINVAL},
      {"null data with a size", path, nullptr, 1, aErrParam, EINVAL},
      {"no file name", dir.path() + "/", "x", 1, aErrParam, EINVAL},
      {"dot name", dir / ".", "x", 1, aErrParam, EINVAL},
      {"a directory", dir / "d", "x", 1, aErrNotFound, EISDIR},
      {"missing directory", dir / "none/f", "x", 1, aErrNotFound, ENOENT},
  };
  for (const Case& c : cases) {
    int sysError = 0;
    const char* target = c.path.empty() ? nullptr : c.path.c_str();
    EXPECT_EQ(aFile_Replace(target, c.data, c.size, &sysError), c.result) << c.what;
    EXPECT_EQ(sysError, c.sysError) << c.what;
  }
  EXPECT_EQ(ReadText(path), "kept");
  EXPECT_EQ(ListNames(dir.path()), (std::vector<std::string>{"d", "f"}));
  EXPECT_EQ(ListNames(dir / "d"), std::vector<std::string>{});
}

TEST(FileTest, ReplaceWithoutWriteRightsIsRefused) {
  if (!CanSwitchUser()) {
    GTEST_SKIP() << "needs root to act as an unprivileged user";
  }
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
  const std::string path = dir.write("f", "kept");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);
  // The directory lets anyone rename over the file; the file's own mode must
  // still be honoured.
  const ChildResult child = RunInChild(kNobodyUid, [&] { return aFile_Replace(path.c_str(), "x", 1); });
  ASSERT_TRUE(child.finished);
  EXPECT_EQ(child.exitCode, aErrNotFound);
  EXPECT_EQ(ReadText(path), "kept");
  EXPECT_EQ(ListNames(dir.path()), std::vector<std::string>{"f"});
}

}  // namespace
