#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "unix/aDirectory.h"
#include "unix/os_test_support.h"

namespace {

bool sIsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool sExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

TEST(DirectoryTest, ExistsOnlyForDirectories) {
  TempDir dir;
  EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
  EXPECT_FALSE(aDirectory_Exists(dir.write("f", "x").c_str())) << "a regular file is no directory";
  EXPECT_FALSE(aDirectory_Exists((dir / "missing").c_str()));
  EXPECT_FALSE(aDirectory_Exists(nullptr));
  EXPECT_FALSE(aDirectory_Exists(""));
}

TEST(DirectoryTest, EnsureCreatesEveryMissingLevelWithTheMode) {
  TempDir dir;
  const std::string deep = dir / "a/b/c";
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0700), aErrNone);
  EXPECT_TRUE(sIsDir(dir / "a"));
  EXPECT_TRUE(sIsDir(dir / "a/b"));
  EXPECT_TRUE(sIsDir(deep));
  struct stat st;
  ASSERT_EQ(stat((dir / "a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Already there: nothing to do, and existing contents stay.
  dir.write("a/b/c/keep", "k");
  EXPECT_EQ(aDirectory_Ensure(deep.c_str(), 0755), aErrNone);
  EXPECT_TRUE(sExists(dir / "a/b/c/keep"));

  EXPECT_EQ(aDirectory_Ensure((dir / "x//y///z//").c_str(), 0755), aErrNone)
      << "doubled and trailing separators are empty components";
  EXPECT_TRUE(sIsDir(dir / "x/y/z"));
  EXPECT_EQ(aDirectory_Ensure((dir / "a/b/c/d/").c_str(), 0755), aErrNone);
  EXPECT_TRUE(sIsDir(dir / "a/b/c/d"));

  EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
}

TEST(DirectoryTest, EnsureFailsWhenAFileIsInTheWay) {
  TempDir dir;
  const std::string file = dir.write("store", "not a directory");
  EXPECT_EQ(aDirectory_Ensure((dir / "store/sub/deeper").c_str(), 0755), aErrPermission);
  EXPECT_EQ(aDirectory_Ensure(file.c_str(), 0755), aErrPermission)
      << "a file of the directory's name is no success";
  EXPECT_EQ(ReadText(file), "not a directory");
}

TEST(DirectoryTest, EnsureWithoutRightsIsAPermissionError) {
  if (!CanSwitchUser()) {
    GTEST_SKIP() << "needs root to act as an unprivileged user";
  }
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string target = dir / "locked/new/deeper";
  const ChildResult child = RunInChild(kNobodyUid, [&] { return aDirectory_Ensure(target.c_str(), 0755); });
  ASSERT_TRUE(child.finished);
  EXPECT_EQ(child.exitCode, aErrPermission);
  EXPECT_FALSE(sExists(dir / "locked"));
}

struct Listed {
  std::map<std::string, aDirectoryListData> entries;
  std::map<std::string, std::string> paths;
  int calls = 0;
  int stopAfter = -1;
};

bool sCollect(const aDirectoryListData* data, void* ref) {
  auto* listed = static_cast<Listed*>(ref);
  ++listed->calls;
  const std::string full = data->fullPath;
  const std::string name = full.substr(full.rfind('/') + 1);
  listed->entries[name] = *data;
  listed->entries[name].fullPath = nullptr;  // valid only during the call
  listed->paths[name] = full;
  return listed->stopAfter < 0 || listed->calls < listed->stopAfter;
}

TEST(DirectoryTest, ListReportsEveryEntryWithPathSizeAndKind) {
  TempDir dir;
  dir.write("five", "12345");
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);

  Listed listed;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), sCollect, &listed), aErrNone);
  EXPECT_EQ(listed.calls, 4) << "., .., five and sub; the dangling link has no status";
  ASSERT_EQ(listed.entries.count("five"), 1u);
  EXPECT_EQ(listed.entries["five"].size, 5u);
  EXPECT_EQ(listed.entries["five"].isDirectory, 0);
  EXPECT_EQ(listed.paths["five"], dir / "five");
  EXPECT_EQ(listed.entries["sub"].isDirectory, 1);
  EXPECT_EQ(listed.entries["."].isDirectory, 1);
  EXPECT_EQ(listed.entries[".."].isDirectory, 1);
  EXPECT_EQ(listed.entries.count("dangling"), 0u);

  Listed withSlash;
  EXPECT_EQ(aDirectory_List((dir.path() + "/").c_str(), sCollect, &withSlash), aErrNone);
  EXPECT_EQ(withSlash.paths["five"], dir / "five") << "no doubled separator";

  Listed stopping;
  stopping.stopAfter = 1;
  EXPECT_EQ(aDirectory_List(dir.path().c_str(), sCollect, &stopping), aErrNone);
  EXPECT_EQ(stopping.calls, 1) << "false from the callback ends the listing";

  Listed none;
  EXPECT_EQ(aDirectory_List((dir / "missing").c_str(), sCollect, &none), aErrNotFound);
  EXPECT_EQ(aDirectory_List((dir / "five").c_str(), sCollect, &none), aErrNotFound);
  EXPECT_EQ(none.calls, 0);
}

TEST(DirectoryTest, DeleteRemovesOnlyEmptyDirectories) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir / "empty").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "full").c_str(), 0755), 0);
  dir.write("full/f", "x");
  EXPECT_EQ(aDirectory_Delete((dir / "empty").c_str()), aErrNone);
  EXPECT_FALSE(sExists(dir / "empty"));
  EXPECT_EQ(aDirectory_Delete((dir / "full").c_str()), aErrUnknown);
  EXPECT_TRUE(sExists(dir / "full/f"));
  EXPECT_EQ(aDirectory_Delete((dir / "missing").c_str()), aErrUnknown);
}

TEST(DirectoryTest, DeleteTreeRemovesEverythingBelowButNotWhatLinksPointTo) {
  TempDir dir;
  ASSERT_EQ(aDirectory_Ensure((dir / "tree/a/b/c").c_str(), 0755), aErrNone);
  dir.write("tree/top", "1");
  dir.write("tree/a/b/mid", "2");
  dir.write("tree/a/b/c/leaf", "3");
  ASSERT_EQ(mkdir((dir / "outside").c_str(), 0755), 0);
  const std::string precious = dir.write("outside/precious", "keep");
  ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "tree/a/link").c_str()), 0);

  EXPECT_EQ(aDirectory_DeleteTree((dir / "tree").c_str()), aErrNone);
  EXPECT_FALSE(sExists(dir / "tree"));
  EXPECT_EQ(ReadText(precious), "keep") << "a link inside the tree must not be followed";

  EXPECT_EQ(aDirectory_DeleteTree((dir / "tree").c_str()), aErrNotFound);
  EXPECT_EQ(aDirectory_DeleteTree(nullptr), aErrParam);
}

TEST(DirectoryTest, DeleteTreeReportsAFileItCannotRemove) {
  if (!CanSwitchUser()) {
    GTEST_SKIP() << "needs root to act as an unprivileged user";
  }
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(aDirectory_Ensure((dir / "tree/locked").c_str(), 0755), aErrNone);
  ASSERT_EQ(chmod((dir / "tree").c_str(), 0777), 0);
  const std::string stuck = dir.write("tree/locked/stuck", "x");
  const std::string tree = dir / "tree";
  const ChildResult child = RunInChild(kNobodyUid, [&] { return aDirectory_DeleteTree(tree.c_str()); });
  ASSERT_TRUE(child.finished);
  EXPECT_EQ(child.exitCode, aErrUnknown);
  EXPECT_EQ(child.out, "---error unlink-ing file [" + stuck + "]\n");
  EXPECT_EQ(child.err.rfind("aDirectory_DeleteTree: ", 0), 0u) << child.err;
  EXPECT_NE(child.err.find(strerror(EACCES)), std::string::npos) << child.err;
  EXPECT_TRUE(sExists(stuck));
}

TEST(DirectoryTest, WellKnownLocations) {
  char buffer[4096];
  char expected[4096];
  ASSERT_NE(getcwd(expected, sizeof expected), nullptr);
  EXPECT_EQ(aDirectory_CWD(buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, expected);
  char tiny[2];
  EXPECT_EQ(aDirectory_CWD(tiny, sizeof tiny), aErrParam) << "does not fit";
  EXPECT_EQ(aDirectory_CWD(nullptr, 10), aErrParam);

  const ssize_t n = readlink("/proc/self/exe", expected, sizeof expected - 1);
  ASSERT_GT(n, 4);
  expected[n] = '\0';
  EXPECT_EQ(aDirectory_ExecutableFilePath(buffer, sizeof buffer), aErrNone);
  EXPECT_STREQ(buffer, expected);
  char cut[5];
  memset(cut, 'z', sizeof cut);
  EXPECT_EQ(aDirectory_ExecutableFilePath(cut, sizeof cut), aErrNone);
  EXPECT_EQ(std::string(cut), std::string(expected, 4)) << "cut to size - 1 and terminated";
}

TEST(DirectoryTest, HomeComesFromThePasswordEntry) {
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr) {
    GTEST_SKIP() << "this user has no password entry";
  }
  const std::string home = entry->pw_dir;
  char buffer[4096];
  EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof buffer), aErrNone);
  EXPECT_EQ(std::string(buffer), home);
  char small[3];
  memset(small, 'z', sizeof small);
  EXPECT_EQ(aDirectory_GetHomeDirectory(small, sizeof small), aErrNone);
  EXPECT_EQ(std::string(small), home.substr(0, 2)) << "a long home is cut and still terminated";
}

TEST(DirectoryTest, HomeFallsBackToTheEnvironmentWithoutAPasswordEntry) {
  if (!CanSwitchUser()) {
    GTEST_SKIP() << "needs root to act as a user without a password entry";
  }
  int uid = 54321;
  for (int i = 0; i < 100 && getpwuid(static_cast<uid_t>(uid)) != nullptr; ++i) {
    ++uid;
  }
  ASSERT_EQ(getpwuid(static_cast<uid_t>(uid)), nullptr);
  const ChildResult fromHome = RunInChild(uid, [] {
    setenv("HOME", "/srv/fallback", 1);
    char buffer[64];
    if (aDirectory_GetHomeDirectory(buffer, sizeof buffer) != aErrNone) return 1;
    fputs(buffer, stdout);
    return 0;
  });
  ASSERT_TRUE(fromHome.finished);
  EXPECT_EQ(fromHome.out, "/srv/fallback");

  const ChildResult nothing = RunInChild(uid, [] {
    unsetenv("HOME");
    char buffer[64] = "stale";
    const aErr err = aDirectory_GetHomeDirectory(buffer, sizeof buffer);
    fputs(buffer, stdout);
    return err;
  });
  ASSERT_TRUE(nothing.finished);
  EXPECT_EQ(nothing.exitCode, aErrNone);
  EXPECT_EQ(nothing.out, "") << "no entry and no HOME leaves the buffer empty";
}

TEST(DirectoryBuildPathTest, JoinsWithSingleSeparators) {
  char buffer[64];
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "/a/", "b", nullptr), aErrNone);
  EXPECT_STREQ(buffer, "/a/b");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "a", "b", nullptr), aErrNone);
  EXPECT_STREQ(buffer, "a/b");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "a", "/b", nullptr), aErrNone);
  EXPECT_STREQ(buffer, "a/b");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "only", nullptr), aErrNone);
  EXPECT_STREQ(buffer, "only");
  EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof buffer, "/store/", "0A1B2C3D"), aErrNone);
  EXPECT_STREQ(buffer, "/store/0A1B2C3D");
  EXPECT_EQ(
      aDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", nullptr),
      aErrNone);
  EXPECT_STREQ(buffer, "1/2/3/4/5/6/7/8/9/10");
}

TEST(DirectoryBuildPathTest, RefusesElevenPartsAliasingAndNulls) {
  char buffer[64] = "previous";
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "1", "2", "3", "4", "5", "6", "7", "8", "9", "10",
                                 "11", nullptr),
            aErrParam);
  EXPECT_STREQ(buffer, "");

  char aliased[64] = "x";
  EXPECT_EQ(aDirectory_BuildPath(aliased, sizeof aliased, aliased, "y", nullptr), aErrParam);
  strcpy(aliased, "x");
  EXPECT_EQ(aDirectory_BuildPath(aliased, sizeof aliased, "base", aliased, nullptr), aErrParam);
  strcpy(aliased, "0123456789");
  EXPECT_EQ(aDirectory_BuildPath(aliased, sizeof aliased, "base", aliased + 5, nullptr), aErrParam)
      << "a part inside the buffer would be overwritten while copied";
  EXPECT_STREQ(aliased, "");

  EXPECT_EQ(aDirectory_BuildPath(nullptr, 10, "a", nullptr), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(buffer, 0, "a", nullptr), aErrParam);
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, nullptr), aErrParam);
}

TEST(DirectoryBuildPathTest, OverrunKeepsASpareByte) {
  char buffer[8];
  // The first part is refused at size - 1 characters already.
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "1234567", nullptr), aErrOverrun);
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "123456", nullptr), aErrNone);
  EXPECT_STREQ(buffer, "123456");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "abc", "de", nullptr), aErrNone);
  EXPECT_STREQ(buffer, "abc/de");
  EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof buffer, "abc", "def", nullptr), aErrOverrun);
  EXPECT_STREQ(buffer, "") << "no half-built path is left behind";
  // Room for one character only: no separator is added.
  EXPECT_EQ(aDirectory_BuildPath(buffer, 6, "abcd", "", nullptr), aErrNone);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(aDirectory_BuildPath(buffer, 6, "abcd", "e", nullptr), aErrOverrun);
  char big[4200];
  const std::string longPart(4000, 'p');
  EXPECT_EQ(aDirectory_BuildPath(big, sizeof big, "/root", longPart.c_str(), "tail", nullptr), aErrNone);
  EXPECT_EQ(std::string(big), "/root/" + longPart + "/tail");
}

}  // namespace
