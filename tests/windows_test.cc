// The Windows builds: the 32-bit product inspected by the native tool and by
// objdump, and the 64-bit builds run under wine64 with the real host binding
// (wine is not the host) and with the stand-in host.
#include <stdlib.h>
#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "image_builder.h"
#include "process.h"
#include "test_support.h"

namespace {

const std::string kWine = ZYMRAN_WINE64;
const std::string kObjdump = ZYMRAN_OBJDUMP;
const std::string kTool = ZYMRAN_BIN_DIR "/zymran";
const std::string kWin32Exe = ZYMRAN_WIN32_EXE;
const std::string kWin64Exe = ZYMRAN_WIN64_EXE;
const std::string kWin64StandInExe = ZYMRAN_WIN64_STANDIN_EXE;
const std::string kProfile = ZYMRAN_BIN_DIR "/zymran-profile";
const std::string kWin64ProfileExe = ZYMRAN_WIN64_PROFILE_EXE;

const std::string kUsage =
    "\r\nZYMRAN <filespec>[.DLL]\r\n  Prints compatibility report of 32bit EXE or DLL\r\n";

class UnderWine : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("WINEPREFIX", ZYMRAN_WINEPREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
  }
  static ToolRun wine(const std::string& exe, const std::vector<std::string>& args,
                      Options options = {}) {
    std::vector<std::string> command{kWine, exe};
    command.insert(command.end(), args.begin(), args.end());
    options.timeoutSeconds = 120;  // the first run sets up the wine prefix
    return runCommand(command, options);
  }
};

TEST_F(UnderWine, RealHostBinding) {
  const ToolRun usage = wine(kWin64Exe, {});
  EXPECT_EQ(std::string(kBanner) + kUsage, usage.out);
  EXPECT_EQ(0, usage.status);

  const ToolRun outside = wine(kWin64Exe, {writeTempFile("w.dll", sampleImage().bytes)});
  EXPECT_EQ(std::string(kBanner) +
                "This application must be run under the Orvanel 32bit DOS extender.\r\n",
            outside.out);
  EXPECT_EQ("", outside.err);
  EXPECT_EQ(2, outside.status);
}

TEST_F(UnderWine, StandInHost) {
  const std::string dir = tempDir();
  const std::vector<uint8_t>& sample = sampleImage().bytes;
  writeTempFile("sample.dll", sample);
  writeTempFile("with blanks.dll", sample);
  writeTempFile("text.dll", std::vector<uint8_t>(300, 'x'));
  ImagePlan ordinal = sampleImagePlan();
  ordinal.modules[0].functions.insert(ordinal.modules[0].functions.begin(), byOrdinal(9));
  writeTempFile("ordinal.dll", buildImage(ordinal).bytes);
  const std::string report = std::string(kBanner) + crlf(kSampleReport);

  struct Case {
    const char* title;
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
  };
  const Case cases[] = {
      {"report", {dir + "/sample"}, report, "", 0},
      {"backslashes", {dir + "\\sample.dll", "ignored"}, report, "", 0},
      {"blanks in a quoted argument", {dir + "/with blanks"}, report, "", 0},
      {"trailing full stop and blank", {dir + "/sample.dll. "}, report, "", 0},
      {"missing file", {dir + "/none.EXE"}, std::string(kBanner) + "Couldn't open '" + dir + "/none.EXE'\r\n", "", 2},
      {"wildcards are not expanded", {dir + "/*"}, std::string(kBanner) + "Couldn't open '" + dir + "/*.dll'\r\n", "", 2},
      {"not a PE file", {dir + "/text"}, std::string(kBanner) + "Not a PE file\r\n", "", 1},
      {"failed check", {dir + "/ordinal"}, "", failedCheck("!(*impOrd & 0x80000000)", 172), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const ToolRun run = wine(kWin64StandInExe, c.args);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(c.status, run.status);
  }

  Options full;
  full.stdoutKind = Stdout::DevFull;
  const ToolRun unwritable = wine(kWin64StandInExe, {dir + "/sample"}, full);
  EXPECT_EQ("Couldn't write to standard output\r\n", unwritable.err);
  EXPECT_EQ(2, unwritable.status);
}

// zymran-profile built for Windows writes the same profiles and says the same
// things as the native one.
TEST_F(UnderWine, ProfileAsNative) {
  const std::string dir = tempDir() + "/winprofile";
  for (const char* sub : {"", "/native", "/windows"}) mkdir((dir + sub).c_str(), 0755);
  const BuiltImage image = buildImage(exportingImagePlan());
  const std::string good = writeTempFile("winprofile/USER32.DLL", image.bytes);
  std::vector<uint8_t> damaged = image.bytes;
  put32(damaged, image.exportRawOffset + kExportNumberOfNames, 0x40000000);
  const std::string bad = writeTempFile("winprofile/NTDLL.DLL", damaged);
  writeTempFile("winprofile/windows/USER32.def", {'o', 'l', 'd'});  // replaced

  const ToolRun native = runTool(kProfile, {dir + "/native", good, bad});
  const ToolRun windows = wine(kWin64ProfileExe, {dir + "/windows", good, bad});
  EXPECT_EQ(1, native.status);
  EXPECT_EQ(native.status, windows.status);
  EXPECT_EQ(native.err, windows.err);
  std::string profiles[2];
  for (int i = 0; i < 2; ++i) {
    std::ifstream in(dir + (i == 0 ? "/native" : "/windows") + "/USER32.def", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    profiles[i] = text.str();
  }
  EXPECT_EQ("LIBRARY USER32.DLL\nEXPORTS\n\"@at\" @5\nHeapAlloc @3\nZeta @1\n\"with blank\" @4\n"
            "Ordinal2 @2 NONAME\n",
            profiles[0]);
  EXPECT_EQ(profiles[0], profiles[1]);

  // Once more: the same bytes, so the file is kept, its date included.
  const std::string written = dir + "/windows/USER32.def";
  const utimbuf dated = {1000000000, 1000000000};
  ASSERT_EQ(0, utime(written.c_str(), &dated));
  EXPECT_EQ(0, wine(kWin64ProfileExe, {dir + "/windows", good}).status);
  struct stat info;
  ASSERT_EQ(0, stat(written.c_str(), &info));
  EXPECT_EQ(1000000000, info.st_mtime);
}

// The product: a PE32 console program for Intel 80386 that needs nothing but
// KERNEL32, all of which the default stand-in profile provides.
TEST(Win32Exe, ImportsOnlyWhatTheHostImplements) {
  struct stat info;
  ASSERT_EQ(0, stat(kWin32Exe.c_str(), &info));
  EXPECT_LE(info.st_size, 64 * 1024);

  const ToolRun report = runTool(kTool, {kWin32Exe});
  EXPECT_EQ(0, report.status);
  std::istringstream lines(report.out);
  std::string line;
  std::vector<std::string> all;
  while (std::getline(lines, line)) all.push_back(line);
  ASSERT_GE(all.size(), 6u);
  EXPECT_EQ("\r", all[2]);
  EXPECT_EQ("Imports from KERNEL32.dll\r", all[3]);
  for (size_t i = 4; i < all.size(); ++i) {
    EXPECT_EQ(52u, all[i].size()) << all[i];
    EXPECT_EQ("Implemented\r", all[i].substr(all[i].size() < 12 ? 0 : all[i].size() - 12)) << all[i];
  }

  const ToolRun dump = runTool(kObjdump, {"-p", kWin32Exe});
  ASSERT_EQ(0, dump.status);
  EXPECT_NE(std::string::npos, dump.out.find("file format pei-i386"));
  EXPECT_NE(std::string::npos, dump.out.find("Magic\t\t\t010b\t(PE32)"));
  EXPECT_NE(std::string::npos, dump.out.find("Subsystem\t\t00000003\t(Windows CUI)"));
  std::vector<std::string> dlls;
  for (size_t at = dump.out.find("DLL Name: "); at != std::string::npos;
       at = dump.out.find("DLL Name: ", at + 1)) {
    const size_t start = at + 10;
    dlls.push_back(dump.out.substr(start, dump.out.find('\n', start) - start));
  }
  EXPECT_EQ(std::vector<std::string>{"KERNEL32.dll"}, dlls);
}

}  // namespace
