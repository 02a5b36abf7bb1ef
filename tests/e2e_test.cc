// Runs the real executables as processes and compares their exact output
// bytes and exit statuses, through pipes and on a pseudo-terminal.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_builder.h"
#include "process.h"
#include "test_support.h"

namespace {

const std::string kTool = ZYMRAN_BIN_DIR "/zymran";
const std::string kNoMarker = ZYMRAN_TEST_BIN_DIR "/zymran_nomarker";
const std::string kNoUser32 = ZYMRAN_TEST_BIN_DIR "/zymran_nouser32";
const std::string kNoKernel32 = ZYMRAN_TEST_BIN_DIR "/zymran_nokernel32";
const std::string kGrammar = ZYMRAN_TEST_BIN_DIR "/zymran_grammar";

// Defined by g++ and clang alike under AddressSanitizer, as the heap of the
// platform layer also assumes.
#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

std::string banner() { return kBanner; }

std::string sampleFile() {
  static const std::string path = writeTempFile("sample.dll", sampleImage().bytes);
  return path;
}

const std::string kSampleReportCrlf = crlf(kSampleReport);

const std::string kUsage =
    "\r\nZYMRAN <filespec>[.DLL]\r\n  Prints compatibility report of 32bit EXE or DLL\r\n";
const std::string kOutsideHost =
    "This application must be run under the Orvanel 32bit DOS extender.\r\n";

std::string couldNotOpen(const std::string& path) { return "Couldn't open '" + path + "'\r\n"; }

TEST(Tool, CommandLineOutcomes) {
  const std::string dir = tempDir();
  const std::string sample = sampleFile();
  const std::vector<uint8_t>& image = sampleImage().bytes;
  writeTempFile("APP.dll", image);
  mkdir((dir + "/sub").c_str(), 0755);
  writeTempFile("sub/inner.dll", image);
  mkdir((dir + "/folder.dll").c_str(), 0755);
  mkfifo((dir + "/pipe.dll").c_str(), 0644);
  if (symlink("/dev/null", (dir + "/device.dll").c_str()) != 0) FAIL();
  writeTempFile("text.dll", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'});
  // 259 characters: with ".dll" the resolved path is 263 long, over the 259 that can be opened.
  // The file exists, yet a path that long is refused.
  const std::string longArgument = dir + "/" + std::string(258 - dir.size(), 'n');
  writeTempFile(longArgument.substr(dir.size() + 1) + ".dll", image);
  // Arguments that resolution would cut, and the files that the cut paths
  // would name: a directory piece of 257 characters whose cut names a
  // sibling; a name of 256 characters; 264 characters whose first 260 name a
  // file.
  const std::string longDir = std::string(256 - dir.size() - 1, 'd');
  const std::string cutDir = longDir.substr(1);
  mkdir((dir + "/" + cutDir).c_str(), 0755);
  writeTempFile(cutDir + "/x.dll", image);
  const std::string longName(256, 'm');
  writeTempFile(longName.substr(1), image);
  const std::string first260 = "pppppp/" + std::string(249, 'x') + ".dll";
  mkdir((dir + "/pppppp").c_str(), 0755);
  writeTempFile(first260, image);
  writeTempFile("noext", image);
  // An image against the host built from a profile as the toolchains write it.
  ImagePlan grammar;
  grammar.modules = {{"KERNEL32.dll",
                      {{"GetVersion@0"}, {"GetVersion"}, {"HeapAlloc"}, {"Hidden"}, {"Table"},
                       {"Internal"}, {"_Internal@4"}, {"with blank"}, {"a?b\\c"}}},
                     {"NTDLL.dll", {{"\xe9t\xe9"}, {"\xe9t"}}}};
  const std::string grammarImage = writeTempFile("grammar.dll", buildImage(grammar).bytes);

  struct Case {
    const char* title;
    std::string exe;
    std::vector<std::string> args;
    std::string out;
    int status;
  };
  const Case cases[] = {
      {"no argument", kTool, {}, banner() + kUsage, 0},
      {"no argument outside the host", kNoMarker, {}, banner() + kUsage, 0},
      {"outside the host", kNoMarker, {sample}, banner() + kOutsideHost, 2},
      {"outside the host, missing file", kNoMarker, {dir + "/none"}, banner() + kOutsideHost, 2},
      {"report", kTool, {sample}, banner() + kSampleReportCrlf, 0},
      {"extra arguments ignored", kTool, {sample, "x", "y"}, banner() + kSampleReportCrlf, 0},
      {"default extension", kTool, {dir + "/APP"}, banner() + kSampleReportCrlf, 0},
      {"backslash as separator", kTool, {dir + "\\sub\\inner"}, banner() + kSampleReportCrlf, 0},
      {"missing with extension", kTool, {dir + "/APP.EXE"}, banner() + couldNotOpen(dir + "/APP.EXE"), 2},
      {"missing without extension", kTool, {dir + "/none"}, banner() + couldNotOpen(dir + "/none.dll"), 2},
      {"option-like argument", kTool, {"-h"}, banner() + couldNotOpen("-h.dll"), 2},
      {"slash question mark", kTool, {"/?"}, banner() + couldNotOpen("/?.dll"), 2},
      {"directory", kTool, {dir + "/folder"}, banner() + couldNotOpen(dir + "/folder.dll"), 2},
      {"FIFO", kTool, {dir + "/pipe"}, banner() + couldNotOpen(dir + "/pipe.dll"), 2},
      {"device", kTool, {dir + "/device"}, banner() + couldNotOpen(dir + "/device.dll"), 2},
      {"over-long path", kTool, {longArgument}, banner() + couldNotOpen(longArgument + ".dll"), 2},
      {"not a PE file", kTool, {dir + "/text"}, banner() + "Not a PE file\r\n", 1},
      {"profile as the toolchains write it", kGrammar, {grammarImage},
       banner() + crlf("\nImports from KERNEL32.dll\n"
                       "GetVersion@0                            Implemented\n"
                       "GetVersion                              Not implemented\n"
                       "HeapAlloc                               Implemented\n"
                       "Hidden                                  Not implemented\n"
                       "Table                                   Implemented\n"
                       "Internal                                Implemented\n"
                       "_Internal@4                             Not implemented\n"
                       "with blank                              Implemented\n"
                       "a?b\\c" + std::string(35, ' ') + "Implemented\n"
                       "\nImports from NTDLL.dll\n"
                       "\xe9t\xe9                                     Implemented\n"
                       "\xe9t                                      Not implemented\n"),
       0},
      {"directory piece cut", kTool, {dir + "/" + longDir + "/x"},
       banner() + couldNotOpen(dir + "/" + longDir + "/x.dll"), 2},
      {"name cut", kTool, {longName + "."}, banner() + couldNotOpen(longName + "."), 2},
      {"argument cut", kTool, {first260 + "more"}, banner() + couldNotOpen(first260 + "more"), 2},
      {"trailing full stop", kTool, {dir + "/noext."}, banner() + kSampleReportCrlf, 0},
      {"trailing full stops", kTool, {dir + "\\noext..."}, banner() + kSampleReportCrlf, 0},
      {"missing, trailing full stop", kTool, {dir + "/none."}, banner() + couldNotOpen(dir + "/none."), 2},
      {"trailing full stop and blank", kTool, {dir + "/noext. "}, banner() + kSampleReportCrlf, 0},
      {"trailing blanks and full stops", kTool, {dir + "\\noext . . "}, banner() + kSampleReportCrlf, 0},
      {"missing, trailing blanks", kTool, {dir + "/none.  "}, banner() + couldNotOpen(dir + "/none.  "), 2},
      {"blank before the default extension", kTool, {dir + "/noext "},
       banner() + couldNotOpen(dir + "/noext .dll"), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Options options;
    options.workingDirectory = dir;
    const ToolRun run = runTool(c.exe, c.args, options);
    EXPECT_EQ(c.out, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(c.status, run.status);
  }
}

// A failed internal check ends the run at once: on a terminal the lines
// before it have appeared; through a pipe what sat in the buffer is lost.
TEST(Tool, FailedChecksOnATerminalAndThroughAPipe) {
  ImagePlan ordinal = sampleImagePlan();
  ordinal.modules[0].functions.insert(ordinal.modules[0].functions.begin() + 2, byOrdinal(3));
  const std::string ordinalFile = writeTempFile("ordinal.dll", buildImage(ordinal).bytes);
  const std::string sample = sampleFile();

  struct Case {
    const char* title;
    std::string exe;
    std::string arg;
    std::string terminalOut;
    std::string check;
  };
  const Case cases[] = {
      {"ordinal from KERNEL32", kTool, ordinalFile,
       banner() + crlf("\nImports from KERNEL32.dll\n"
                       "GetVersion                              Implemented\n"
                       "GetStartupInfoA                         Implemented\n"),
       failedCheck("!(*impOrd & 0x80000000)", 172)},
      {"host without USER32", kNoUser32, sample,
       banner() + crlf("\nImports from KERNEL32.dll\n"
                       "GetVersion                              Implemented\n"
                       "GetStartupInfoA                         Not implemented\n"
                       "GetCommandLineA                         Not implemented\n"
                       "SetUnhandledExceptionFilter             Not implemented\n"
                       "ExitProcess                             Implemented\n"
                       "\nImports from USER32.dll\n"),
       failedCheck("modHandle", 165)},
      {"host without KERNEL32", kNoKernel32, sample, banner(), failedCheck("kernelModule", 237)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    Options terminal;
    terminal.stdoutKind = Stdout::Terminal;
    const ToolRun onTerminal = runTool(c.exe, {c.arg}, terminal);
    EXPECT_EQ(c.terminalOut, onTerminal.out);
    EXPECT_EQ(c.check, onTerminal.err);
    EXPECT_EQ(3, onTerminal.status);

    const ToolRun throughPipe = runTool(c.exe, {c.arg});
    EXPECT_EQ("", throughPipe.out);
    EXPECT_EQ(c.check, throughPipe.err);
    EXPECT_EQ(3, throughPipe.status);
  }
}

TEST(Tool, TerminalGetsTheSameBytes) {
  Options terminal;
  terminal.stdoutKind = Stdout::Terminal;
  const ToolRun run = runTool(kTool, {sampleFile()}, terminal);
  EXPECT_EQ(banner() + kSampleReportCrlf, run.out);
  EXPECT_EQ(0, run.status);
}

// A report far larger than the output buffer, from a large import section,
// arrives whole and in order.
TEST(Tool, LongReportThroughAPipe) {
  ImagePlan plan;
  std::string expected = banner();
  for (int m = 0; m < 3; ++m) {
    ImportedModule module{m == 1 ? "NTDLL.dll" : "KERNEL32.dll", {}};
    expected += crlf("\nImports from " + module.name + "\n");
    for (int f = 0; f < 2000; ++f) {  // an import section of over 128 KiB
      const std::string name = "Function" + std::to_string(m) + "_" + std::to_string(f) +
                               std::string(static_cast<size_t>(f % 50), 'x');
      module.functions.push_back({name});
      expected += name + std::string(name.size() < 40 ? 40 - name.size() : 0, ' ') +
                  "Not implemented\r\n";
    }
    plan.modules.push_back(module);
  }
  const ToolRun run = runTool(kTool, {writeTempFile("long.dll", buildImage(plan).bytes)});
  EXPECT_EQ(expected, run.out);
  EXPECT_EQ(0, run.status);
}

TEST(Tool, UnwritableStandardOutputIsAFailure) {
  for (Stdout kind : {Stdout::DevFull, Stdout::ClosedPipe}) {
    Options options;
    options.stdoutKind = kind;
    const ToolRun run = runTool(kTool, {sampleFile()}, options);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("Couldn't write to standard output\r\n", run.err);
  }
}

// Sizes claimed by the headers do not become allocations: the run succeeds
// with far less memory than they claim, also when the file itself is larger
// than what they claim (a sparse file of 5 GiB).
TEST(Tool, MemoryFollowsTheFile) {
  const BuiltImage& base = sampleImage();
  std::vector<uint8_t> b = base.bytes;
  put32(b, base.peOffset + kPeSizeOfHeaders, 0xFFFFFFFF);
  const std::string sparse = writeTempFile("sparse.dll", b);
  ASSERT_EQ(0, truncate(sparse.c_str(), off_t(5) << 30));
  put32(b, base.importEntryOffset + kSectionSizeOfRawData, 0xFFFFFFF0);
  b.resize(2048, 0);
  const std::string small = writeTempFile("huge.dll", b);
  for (const std::string& file : {small, sparse}) {
    SCOPED_TRACE(file);
    Options options;
    // The sanitizers reserve address space of their own, so there the limit
    // is their allocator's: a larger block is refused as the system would.
    if (kSanitized)
      options.environment = {{"ASAN_OPTIONS", "allocator_may_return_null=1:max_allocation_size_mb=256"}};
    else
      options.addressSpace = 256u << 20;
    options.timeoutSeconds = 10;
    const ToolRun run = runTool(kTool, {file}, options);
    EXPECT_EQ(banner() + kSampleReportCrlf, run.out);
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, run.status);
  }
}

}  // namespace
