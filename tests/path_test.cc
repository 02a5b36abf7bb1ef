#include "path/path.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

struct PathSample {
  std::string argument;
  const char* drive;
  const char* directory;
  const char* name;
  const char* extension;
  std::string resolved;
  // Whether resolution cuts anything, and then the path with nothing cut.
  bool cut = false;
  std::string whole = {};
};

std::string repeat(char c, size_t n) { return std::string(n, c); }

TEST(ResolvePath, Samples) {
  const std::string letters255 = repeat('a', 255);
  const std::string extension255 = "." + repeat('e', 254);
  const std::string directory255 = repeat('c', 254) + "\\";
  const PathSample samples[] = {
      {"foo", "", "", "foo", "", "foo.dll"},
      {"foo.exe", "", "", "foo", ".exe", "foo.exe"},
      {"FOO.DLL", "", "", "FOO", ".DLL", "FOO.DLL"},
      {"foo.", "", "", "foo", ".", "foo."},
      {"foo.bar.baz", "", "", "foo.bar", ".baz", "foo.bar.baz"},
      {".hidden", "", "", "", ".hidden", ".hidden"},
      {"dir.d\\foo", "", "dir.d\\", "foo", "", "dir.d\\foo.dll"},
      {"c:/dir/sub/foo", "c:", "/dir/sub/", "foo", "", "c:/dir/sub/foo.dll"},
      {"C:", "C:", "", "", "", "C:.dll"},
      {"C:foo", "C:", "", "foo", "", "C:foo.dll"},
      {"dir\\", "", "dir\\", "", "", "dir\\.dll"},
      {".", "", ".", "", "", ".\\.dll"},
      {"..", "", "..", "", "", "..\\.dll"},
      {"dir\\..", "", "dir\\..", "", "", "dir\\..\\.dll"},
      {"C:..", "C:", "..", "", "", "C:..\\.dll"},
      {"...", "", "..", "", ".", "..\\."},
      {"..abc", "", ".", "", ".abc", ".\\.abc"},
      {"C:..abc", "C:", ".", "", ".abc", "C:.\\.abc"},
      {"....", "", "", "...", ".", "...."},
      {"   foo", "", "", "foo", "", "foo.dll"},
      {"sub/*", "", "sub/", "*", "", "sub/*.dll"},
      {"*.dll", "", "", "*", ".dll", "*.dll"},
      {"foo:bar", "", "", "foo:bar", "", "foo:bar.dll"},
      {"", "", "", "", "", ".dll"},
      {"    ", "", "", "", "", ".dll"},
      {"\tfoo", "", "", "\tfoo", "", "\tfoo.dll"},
      {"foo ", "", "", "foo ", "", "foo .dll"},
      {"dir\\foo.", "", "dir\\", "foo", ".", "dir\\foo."},
      {"..\\foo.exe", "", "..\\", "foo", ".exe", "..\\foo.exe"},
      {"x\\.\\y", "", "x\\.\\", "y", "", "x\\.\\y.dll"},
      {"C:\\", "C:", "\\", "", "", "C:\\.dll"},
      {"\\", "", "\\", "", "", "\\.dll"},
      {"/", "", "/", "", "", "/.dll"},
      {":.", "", "", ":", ".", ":."},
      {"x\\...abc", "", "x\\..", "", ".abc", "x\\..\\.abc"},
      {"-h", "", "", "-h", "", "-h.dll"},
      {"/?", "", "/", "?", "", "/?.dll"},
      {"a\\b/c\\\\d", "", "a\\b/c\\\\", "d", "", "a\\b/c\\\\d.dll"},
      {"\xE9t\xE9.EXE", "", "", "\xE9t\xE9", ".EXE", "\xE9t\xE9.EXE"},
      // Only the first 260 characters after the leading spaces count.
      {repeat('a', 300), "", "", letters255.c_str(), "", letters255 + ".dll", true,
       repeat('a', 300) + ".dll"},
      {"  " + repeat('b', 260) + ".exe", "", "", nullptr, "", repeat('b', 255) + ".dll", true,
       repeat('b', 260) + ".exe"},
      // A directory cut to 255 characters loses its separator; one is put back.
      {repeat('a', 256) + "\\a.", "", letters255.c_str(), "a", ".", letters255 + "\\a.", true,
       repeat('a', 256) + "\\a."},
      // Pieces of exactly 255 characters are whole; one more is cut.
      {letters255 + ".e", "", "", letters255.c_str(), ".e", letters255 + ".e"},
      {repeat('n', 256), "", "", nullptr, "", repeat('n', 255) + ".dll", true,
       repeat('n', 256) + ".dll"},
      {"x." + repeat('e', 255), "", "", "x", extension255.c_str(), "x" + extension255, true,
       "x." + repeat('e', 255)},
      {"  " + directory255 + "dddd", "", directory255.c_str(), "dddd", "", directory255 + "dddd.dll"},
  };
  for (const PathSample& s : samples) {
    SCOPED_TRACE("argument '" + s.argument + "'");
    char drive[kDriveSize], directory[kPieceSize], name[kPieceSize], extension[kPieceSize];
    splitPath(s.argument.c_str(), drive, directory, name, extension);
    EXPECT_STREQ(s.drive, drive);
    EXPECT_STREQ(s.directory, directory);
    if (s.name != nullptr) {
      EXPECT_STREQ(s.name, name);
    }
    EXPECT_STREQ(s.extension, extension);

    char out[kResolvedMax + 1];
    const size_t length = resolvePath(out, sizeof out, s.argument.c_str(), ".dll", false);
    EXPECT_EQ(s.resolved, out);
    EXPECT_EQ(s.resolved.size(), length);

    std::string whole(s.argument.size() + 8, '#');
    bool cut = !s.cut;
    whole.resize(resolveWholePath(&whole[0], whole.size(), s.argument.c_str(), ".dll", false, &cut));
    EXPECT_EQ(s.cut, cut);
    EXPECT_EQ(s.cut ? s.whole : s.resolved, whole);
  }
}

TEST(ResolvePath, ForceReplacesTheExtension) {
  char out[kResolvedMax + 1];
  resolvePath(out, sizeof out, "foo.exe", ".dll", true);
  EXPECT_STREQ("foo.dll", out);
  resolvePath(out, sizeof out, "dir\\foo", ".dll", true);
  EXPECT_STREQ("dir\\foo.dll", out);
}

TEST(ResolvePath, LongestResultsAndSmallBuffers) {
  struct Case {
    std::string argument;
    size_t length;
  };
  const Case cases[] = {
      // A 5-character directory and a 255-character name: 264 characters.
      {"dir1\\" + repeat('n', 255), 264},
      // 255 characters ending in "..": an inserted backslash and ".dll".
      {repeat('d', 252) + "\\..", 260},
      {repeat('a', 255), 259},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument.size());
    char whole[kResolvedMax + 1];
    EXPECT_EQ(c.length, resolvePath(whole, sizeof whole, c.argument.c_str(), ".dll", false));
    EXPECT_EQ(c.length, strlen(whole));
    // A smaller buffer gets a terminated prefix and nothing past its end.
    for (size_t size : {size_t(0), size_t(1), size_t(2), size_t(260)}) {
      char small[kResolvedMax + 8];
      memset(small, '#', sizeof small);
      EXPECT_EQ(c.length, resolvePath(small, size, c.argument.c_str(), ".dll", false));
      for (size_t i = size; i < sizeof small; ++i) ASSERT_EQ('#', small[i]) << i;
      if (size > 0) {
        EXPECT_EQ(std::string(whole).substr(0, size - 1), small);
      }
    }
  }
}

TEST(SplitPath, FlagsAndAbsentPieces) {
  EXPECT_EQ(kHasDrive | kHasDirectory | kHasName | kHasExtension,
            splitPath("c:\\dir\\foo.exe", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(kHasDirectory | kHasName | kHasWildcards, splitPath("sub/*", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(kHasName | kHasExtension | kHasWildcards, splitPath("a.?x", nullptr, nullptr, nullptr, nullptr));
  // A wildcard in the directory is not counted.
  EXPECT_EQ(kHasDirectory | kHasName, splitPath("*\\a", nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(0u, splitPath("", nullptr, nullptr, nullptr, nullptr));

  char name[kPieceSize] = "stale";
  char extension[kPieceSize] = "stale";
  splitPath("dir\\", nullptr, nullptr, name, extension);
  EXPECT_STREQ("", name);
  EXPECT_STREQ("", extension);
}

TEST(MergePath, JoinsPieces) {
  struct Case {
    const char *drive, *directory, *name, *extension, *merged;
  };
  const Case cases[] = {
      {"C:", "dir", "foo", "exe", "C:dir\\foo.exe"},
      {"C", "dir/", "foo", ".exe", "C:dir/foo.exe"},
      {nullptr, nullptr, "foo", nullptr, "foo"},
      {"", "a\\", "", "", "a\\"},
  };
  for (const Case& c : cases) {
    char out[64];
    EXPECT_EQ(strlen(c.merged), mergePath(out, sizeof out, c.drive, c.directory, c.name, c.extension));
    EXPECT_STREQ(c.merged, out);
  }
}

}  // namespace
