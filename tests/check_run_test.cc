// zymran-check run as a function, as its command line runs it, over host
// folders and program trees that the image builder writes into a temporary
// folder: each row one rule, with its whole output and its exit status.
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "check/files.h"
#include "check/options.h"
#include "check/run.h"
#include "image_builder.h"
#include "test_support.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

ImagePlan program(std::vector<ImportedModule> modules) { return programPlan(std::move(modules)); }

ImagePlan dll(const std::string& name, std::vector<ExportedFunction> exports,
              std::vector<ImportedModule> modules = {}) {
  return dllPlan(name, std::move(exports), std::move(modules));
}

Bytes build(const ImagePlan& plan) { return buildImage(plan).bytes; }

void writeFile(const std::string& path, const Bytes& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, f) << path;
  if (!bytes.empty()) {
    ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
  }
  fclose(f);
}

// A folder of files under the temporary folder, written afresh.
std::string folderOf(const std::string& name, const std::vector<std::pair<std::string, Bytes>>& files) {
  const std::string folder = tempDir() + "/" + name;
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  for (const auto& file : files) writeFile(folder + "/" + file.first, file.second);
  return folder;
}

// The hosts of the rows, next to them: 1.0 of module-definition files, 2.0
// of DLLs (with CreateFileW, which 1.0 lacks), and one without USER32.
void writeHosts() {
  static bool written = false;
  if (written) return;
  written = true;
  const std::string kernel = "LIBRARY KERNEL32.dll\nEXPORTS\nGetVersion @1\nCreateFileA @7\nHidden @9 NONAME\n";
  const std::string ntdll = "LIBRARY NTDLL.dll\nEXPORTS\nNtClose\n";
  folderOf("hosts/1.0", {{"kernel32.def", text(kernel)}, {"ntdll.def", text(ntdll)},
                         {"USER32.DEF", text("LIBRARY USER32\nEXPORTS\nMessageBoxA\n")}});
  folderOf("hosts/nouser", {{"kernel32.def", text(kernel)}, {"ntdll.def", text(ntdll)}});
  folderOf("hosts/2.0", {{"KERNEL32.DLL", build(dll("KERNEL32.dll", {{"GetVersion", ""}, {"CreateFileA", ""},
                                                                      {"CreateFileW", ""}}))},
                         {"ntdll.dll", build(dll("NTDLL.dll", {{"NtClose", ""}}))},
                         {"User32.Dll", build(dll("USER32.dll", {{"MessageBoxA", ""}}))}});
}

struct CheckOutput {
  std::string out;  // standard output, then standard error
  int status;
};

// zymran-check with `args`, run in this process in `folder`.
CheckOutput runIn(const std::string& folder, std::vector<std::string> args, FILE* out = nullptr) {
  char cwd[4096];
  if (getcwd(cwd, sizeof cwd) == nullptr || chdir(folder.c_str()) != 0) abort();
  std::vector<const char*> argv{"zymran-check"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  char* outText = nullptr;
  char* errText = nullptr;
  size_t outSize = 0;
  size_t errSize = 0;
  FILE* captured = open_memstream(&outText, &outSize);
  const check::Streams streams = {out != nullptr ? out : captured, open_memstream(&errText, &errSize)};
  check::Options options;
  int status = check::parseOptions(static_cast<int>(argv.size()), argv.data(), &options, streams);
  if (status == check::kGoOn) status = check::runCheck(options, streams);
  fclose(captured);
  fclose(streams.err);
  CheckOutput run = {std::string(outText, outSize) + std::string(errText, errSize), status};
  free(outText);
  free(errText);
  if (chdir(cwd) != 0) abort();
  return run;
}

const char kApp[] = "app/APP.EXE";
const std::string kLoads = "app/APP.EXE under 1.0: loads\n";
const std::string kFails = "app/APP.EXE under 1.0: does not load\n";

struct Row {
  const char* rule;
  std::vector<std::pair<std::string, Bytes>> files;
  std::vector<std::string> args;
  int status;
  std::string expected;
  // Files and folders given these modes for the run, which then runs as a
  // user whom the modes hold (root reads whatever the modes say).
  std::vector<std::pair<std::string, mode_t>> modes = {};
};

// Runs `run` with `modes` set under `folder`, as an unprivileged user when
// this process is root.
template <typename F>
void withModes(const std::string& folder, const std::vector<std::pair<std::string, mode_t>>& modes, F run) {
  if (modes.empty()) return run();
  chmod(tempDir().c_str(), 0755);
  for (const auto& mode : modes) chmod((folder + "/" + mode.first).c_str(), mode.second);
  const bool root = geteuid() == 0;
  if (root && seteuid(65534) != 0) abort();
  run();
  if (root && seteuid(0) != 0) abort();
  for (const auto& mode : modes) chmod((folder + "/" + mode.first).c_str(), 0755);
}

// Each row's run, with the first host named when the row names none; and
// with --json, whose verdicts must be the text's.
void runRows(const char* name, const std::vector<Row>& rows) {
  writeHosts();
  for (size_t n = 0; n < rows.size(); ++n) {
    const Row& row = rows[n];
    SCOPED_TRACE(row.rule);
    const std::string folder = folderOf(std::string(name) + std::to_string(n), row.files);
    std::vector<std::string> args = row.args;
    if (std::find(args.begin(), args.end(), "--host") == args.end())
      args.insert(args.begin(), {"--host", "1.0=../hosts/1.0"});
    CheckOutput run, json;
    withModes(folder, row.modes, [&] {
      run = runIn(folder, args);
      args.insert(args.begin(), "--json");
      json = runIn(folder, args);
    });
    EXPECT_EQ(row.expected, run.out);
    EXPECT_EQ(row.status, run.status);
    if (run.status == check::kNotChecked && run.out.find(" under ") == std::string::npos) continue;
    EXPECT_EQ(row.status, json.status);
    const std::string text = json.out.substr(0, json.out.rfind("}\n") + 2);
    const nlohmann::json document = nlohmann::json::parse(text);
    // Laid out byte for byte as a dump with an indent of one.
    EXPECT_EQ(nlohmann::ordered_json::parse(text).dump(1) + "\n", text);
    for (const auto& image : document["images"])
      for (const auto& result : image["results"]) {
        const std::string verdict = image["image"].get<std::string>() + " under " +
                                    result["host"].get<std::string>() +
                                    (result["loads"].get<bool>() ? ": loads\n" : ": does not load\n");
        EXPECT_NE(std::string::npos, run.out.find(verdict)) << verdict;
      }
  }
}

TEST(CheckRun, Modules) {
  const Bytes exportDamaged = [] {
    BuiltImage built = buildImage(dll("bad.dll", {{"Bad", ""}}));
    put32(built.bytes, built.peOffset + 0x18 + 0x60, 0xF00000);  // the export directory, far past the end
    return built.bytes;
  }();
  ImagePlan wide = dll("wide.dll", {{"Wide", ""}});
  wide.pe32plus = true;
  const std::vector<Row> rows = {
      {"an emulated function by ordinal: implemented when the host carries it",
       {{kApp, build(program({{"KERNEL32.dll", {byOrdinal(9), byOrdinal(8), byOrdinal(7)}}}))}},
       {"--all", kApp}, 1,
       kFails +
           "  module KERNEL32.dll: emulated (needed by APP.EXE)\n"
           "  function KERNEL32.dll #7: implemented (needed by APP.EXE)\n"
           "  function KERNEL32.dll #8: not implemented (needed by APP.EXE)\n"
           "  function KERNEL32.dll #9: implemented (needed by APP.EXE)\n"
           "  1 problem: 1 function\n"},
      {"a DLL's function by ordinal, named or not",
       {{kApp, build(program({{"helper.dll", {byOrdinal(2), byOrdinal(5), byOrdinal(1)}}}))},
        {"app/helper.dll", build(dll("helper.dll", {{"One", ""}, {"", ""}}))}},
       {"--all", kApp}, 1,
       kFails +
           "  module helper.dll: file app/helper.dll (needed by APP.EXE)\n"
           "  function helper.dll #1: found (needed by APP.EXE)\n"
           "  function helper.dll #2: found (needed by APP.EXE)\n"
           "  function helper.dll #5: missing (needed by APP.EXE)\n"
           "  1 problem: 1 function\n"},
      {"forwarders by name and by ordinal bring their DLL in",
       {{kApp, build(program({{"fwd.dll", {{"Ping"}, {"Pang"}, {"Peng"}}}}))},
        {"app/fwd.dll", build(dll("fwd.dll", {{"Ping", "target.Pong"}, {"Pang", "target.#3"},
                                              {"Peng", "target.Gone"}}))},
        {"app/TARGET.DLL", build(dll("TARGET.DLL", {{"Pong", ""}, {"", ""}, {"", ""}}))}},
       {"--all", kApp}, 1,
       kFails +
           "  module fwd.dll: file app/fwd.dll (needed by APP.EXE)\n"
           "  module target.dll: file app/TARGET.DLL (needed by fwd.dll; via APP.EXE > fwd.dll)\n"
           "  function fwd.dll Pang: found (needed by APP.EXE)\n"
           "  function fwd.dll Peng: missing, forwarded to target.dll Gone (needed by APP.EXE)\n"
           "  function fwd.dll Ping: found (needed by APP.EXE)\n"
           "  1 problem: 1 function\n"},
      {"a forwarder chain that comes back is missing",
       {{kApp, build(program({{"loop1.dll", {{"Ping"}}}}))},
        {"app/loop1.dll", build(dll("loop1.dll", {{"Ping", "loop2.Ping"}}))},
        {"app/loop2.dll", build(dll("loop2.dll", {{"Ping", "loop1.Ping"}}))}},
       {kApp}, 1,
       kFails +
           "  function loop1.dll Ping: missing, forwarder loop (needed by APP.EXE)\n"
           "  1 problem: 1 function\n"},
      {"two DLLs that import from each other load",
       {{kApp, build(program({{"a.dll", {{"Fa"}}}}))},
        {"app/a.dll", build(dll("a.dll", {{"Fa", ""}}, {{"b.dll", {{"Fb"}}}}))},
        {"app/b.dll", build(dll("b.dll", {{"Fb", ""}}, {{"a.dll", {{"Fa"}}}}))}},
       {"--all", kApp}, 0,
       kLoads +
           "  module a.dll: file app/a.dll (needed by APP.EXE, b.dll)\n"
           "  module b.dll: file app/b.dll (needed by a.dll; via APP.EXE > a.dll)\n"
           "  function a.dll Fa: found (needed by APP.EXE)\n"
           "  function a.dll Fa: found (needed by b.dll; via APP.EXE > a.dll > b.dll)\n"
           "  function b.dll Fb: found (needed by a.dll; via APP.EXE > a.dll)\n"},
      {"a damaged DLL in the closure",
       {{kApp, build(program({{"bad.dll", {{"Bad"}}}}))}, {"app/bad.dll", exportDamaged}},
       {kApp}, 1,
       kFails + "  module bad.dll: damaged, app/bad.dll: export directory at address 0x00F00000 lies "
                "outside the file's data (needed by APP.EXE)\n"
                "  function bad.dll Bad: module damaged (needed by APP.EXE)\n"
                "  1 problem: 1 module\n"},
      {"a 64-bit DLL that a DLL imports from",
       {{kApp, build(program({{"mid.dll", {{"Mid"}}}}))},
        {"app/mid.dll", build(dll("mid.dll", {{"Mid", ""}}, {{"wide.dll", {{"Wide"}}}}))},
        {"app/wide.dll", build(wide)}},
       {kApp}, 1,
       kFails +
           "  module wide.dll: 64-bit, app/wide.dll (needed by mid.dll; via APP.EXE > mid.dll)\n"
           "  function wide.dll Wide: module 64-bit (needed by mid.dll; via APP.EXE > mid.dll)\n"
           "  1 problem: 1 module\n"},
  };
  runRows("modules", rows);
}

TEST(CheckRun, FoldersAndCase) {
  const Bytes help = build(dll("helper.dll", {{"Help", ""}}));
  const Bytes other = build(dll("helper.dll", {{"Other", ""}}));
  const std::vector<Row> rows = {
      {"a DLL found only in a --path folder",
       {{kApp, build(program({{"far.dll", {{"Far"}}}}))}, {"lib/far.dll", build(dll("far.dll", {{"Far", ""}}))}},
       {"--all", "--path", "lib", kApp, "lib/far.dll"}, 0,
       kLoads +
           "  module far.dll: file lib/far.dll (needed by APP.EXE)\n"
           "  function far.dll Far: found (needed by APP.EXE)\n"
           "lib/far.dll under 1.0: loads\n"},
      {"a DLL's file named in another case than the import",
       {{kApp, build(program({{"Helper.DLL", {{"Help"}}}}))}, {"app/hElPeR.dll", help}},
       {"--all", kApp}, 0,
       kLoads +
           "  module Helper.DLL: file app/hElPeR.dll (needed by APP.EXE)\n"
           "  function Helper.DLL Help: found (needed by APP.EXE)\n"},
      {"of several files in another case, the first in byte order; a folder of the name is no file",
       {{kApp, build(program({{"helper.DLL", {{"Help"}}}}))}, {"app/hElPeR.dll", other},
        {"app/HELPER.DLL/x", {}}, {"app/Helper.dll", help}},
       {kApp}, 0, kLoads},
      {"the image's own folder first, then each --path in order",
       {{kApp, build(program({{"helper.dll", {{"Help"}}}}))}, {"one/helper.dll", other},
        {"two/helper.dll", help}},
       {"--path", "one", "--path", "two", kApp}, 1,
       kFails +
           "  function helper.dll Help: missing (needed by APP.EXE)\n"
           "  1 problem: 1 function\n"},
      {"a DLL that is there but can't be read",
       {{kApp, build(program({{"secret.dll", {{"Help"}}}}))}, {"app/secret.dll", help}},
       {kApp}, 2,
       kFails +
           "  module secret.dll: can't be read, app/secret.dll: Permission denied (needed by APP.EXE)\n"
           "  function secret.dll Help: module unreadable (needed by APP.EXE)\n"
           "  1 problem: 1 module\n"
           "zymran-check: app/secret.dll: can't be read: Permission denied\n",
       {{"app/secret.dll", 0}}},
      {"a folder that can be searched but not listed: the images in it still checked",
       {{kApp, build(program({{"helper.dll", {{"Help"}}}}))}, {"app/helper.dll", help},
        {"lib/far.dll", build(dll("far.dll", {{"Far", ""}}, {{"helper.dll", {{"Help"}}}}))}},
       {"--path", "lib", kApp, "lib/far.dll"}, 2,
       kFails +
           "  module helper.dll: not found in app/, lib/ (needed by APP.EXE)\n"
           "  function helper.dll Help: module not found (needed by APP.EXE)\n"
           "  1 problem: 1 module\n"
           "lib/far.dll under 1.0: does not load\n"
           "  module helper.dll: not found in lib/ (needed by far.dll)\n"
           "  function helper.dll Help: module not found (needed by far.dll)\n"
           "  1 problem: 1 module\n"
           "zymran-check: app: can't be listed: Permission denied\n",
       {{"app", 0311}}},
      {"a module is not looked for with .dll added, nor in the current folder",
       {{kApp, build(program({{"helper", {{"Help"}}}, {"here.dll", {}}}))}, {"app/helper.dll", help},
        {"here.dll", help}},
       {kApp}, 1,
       kFails +
           "  module helper: not found in app/ (needed by APP.EXE)\n"
           "  function helper Help: module not found (needed by APP.EXE)\n"
           "  module here.dll: not found in app/ (needed by APP.EXE)\n"
           "  2 problems: 2 modules\n"},
  };
  runRows("folders", rows);
}

TEST(CheckRun, HostsAndStatuses) {
  const Bytes needs = build(program({{"KERNEL32.dll", {{"CreateFileW"}}}}));
  const Bytes loads = build(program({{"KERNEL32.dll", {{"GetVersion"}}}}));
  const std::vector<Row> rows = {
      {"two hosts that differ in one function",
       {{kApp, build(program({{"KERNEL32.dll", {{"GetVersion"}, {"CreateFileW"}}}}))}},
       {"--host", "1.0=../hosts/1.0", "--host", "2.0=../hosts/2.0", kApp}, 1,
       kFails +
           "  function KERNEL32.dll CreateFileW: not implemented (needed by APP.EXE)\n"
           "  1 problem: 1 function\n"
           "app/APP.EXE under 2.0: loads\n"
           "app/APP.EXE loads under 2.0; from 2.0 on\n"
           "\nFunctions missing under some host:\n"
           "  function                  needed by  1.0      2.0\n"
           "  KERNEL32.dll CreateFileW  APP.EXE    missing  found\n"},
      {"an image that can't be opened: status 2, the others still checked",
       {{kApp, loads}, {"app/NEEDS.EXE", needs}},
       {"app/NONE.EXE", kApp, "app/NEEDS.EXE"}, 2,
       "app/NONE.EXE under 1.0: does not load\n"
       "  NONE.EXE: can't be opened\n" +
           kLoads +
           "app/NEEDS.EXE under 1.0: does not load\n"
           "  function KERNEL32.dll CreateFileW: not implemented (needed by NEEDS.EXE)\n"
           "  1 problem: 1 function\n"
           "zymran-check: app/NONE.EXE: can't be opened\n"},
      {"a host folder without USER32", {{kApp, loads}}, {"--host", "old=../hosts/nouser", kApp}, 2,
       "zymran-check: host old: ../hosts/nouser: holds no USER32.DLL or USER32.DEF\n"},
      {"a host folder with two files for one module",
       {{kApp, loads}, {"h/kernel32.def", text("LIBRARY KERNEL32\nEXPORTS\nA\n")}, {"h/KERNEL32.dll", loads},
        {"h/ntdll.def", text("LIBRARY ntdll\nEXPORTS\n")}, {"h/user32.def", text("LIBRARY user32\nEXPORTS\n")}},
       {"--host", "x=h", kApp}, 2,
       "zymran-check: host x: h: KERNEL32.dll and kernel32.def both stand for KERNEL32.dll\n"},
      {"a profile whose LIBRARY line names another module",
       {{kApp, loads}, {"h/kernel32.def", text("LIBRARY NTDLL\nEXPORTS\nA\n")},
        {"h/ntdll.def", text("LIBRARY ntdll\nEXPORTS\n")}, {"h/user32.def", text("LIBRARY user32\nEXPORTS\n")}},
       {"--host", "x=h", kApp}, 2,
       "zymran-check: host x: h/kernel32.def: its LIBRARY line names NTDLL, not KERNEL32.dll\n"},
      {"a host's DLL beside its profiles, one module each",
       {{kApp, loads}, {"h/Kernel32.Dll", build(dll("KERNEL32.dll", {{"GetVersion", ""}}))},
        {"h/ntdll.def", text("LIBRARY NTDLL.dll\nEXPORTS\n")}, {"h/user32.def", text("LIBRARY user32\nEXPORTS\n")}},
       {"--host", "x=h", kApp}, 0, "app/APP.EXE under x: loads\n"},
      {"a host's DLL that is damaged", {{kApp, loads}, {"h/kernel32.dll", text("MZ")}}, {"--host", "x=h", kApp},
       2, "zymran-check: host x: h/kernel32.dll: not a PE image: no DOS header\n"},
      {"a host's profile that is not understood",
       {{kApp, loads}, {"h/kernel32.def", text("LIBRARY KERNEL32\nEXPORTS\nA @x\n")}}, {"--host", "x=h", kApp}, 2,
       "zymran-check: host x: h/kernel32.def:3: an ordinal that is not a number from 0 to 65535\n"},
      {"a host folder that is missing", {{kApp, loads}}, {"--host", "x=nowhere", kApp}, 2,
       "zymran-check: host x: nowhere: not a folder that can be read\n"},
  };
  runRows("hosts", rows);
}

TEST(CheckRun, CommandLine) {
  const Bytes loads = build(program({{"KERNEL32.dll", {{"GetVersion"}}}}));
  const std::vector<Row> rows = {
      {"an option that does not exist", {{kApp, loads}}, {"--fast", kApp}, 2,
       "zymran-check: The following argument was not expected: --fast (see --help)\n"},
      {"no image", {}, {"--all"}, 2, "zymran-check: IMAGE is required (see --help)\n"},
      {"a host without a folder", {{kApp, loads}}, {"--host", "1.0", kApp}, 2,
       "zymran-check: --host 1.0: expected NAME=DIR\n"},
      {"two hosts of one name", {{kApp, loads}}, {"--host", "a=../hosts/1.0", "--host", "a=../hosts/2.0", kApp},
       2, "zymran-check: --host a=../hosts/2.0: a second host of that name\n"},
      {"a search folder that is no folder", {{kApp, loads}}, {"--path", "app/APP.EXE", kApp}, 2,
       "zymran-check: --path app/APP.EXE: not a folder\n"},
  };
  runRows("options", rows);
  writeHosts();
  const std::string folder = folderOf("builtin", {{kApp, loads}});
  const std::string builtIn =
      "zymran-check: no --host given: checking against the built-in host, the sample profile this program was "
      "built with, which claims nothing about any real host version\n";
  EXPECT_EQ("app/APP.EXE under built-in: loads\n" + builtIn, runIn(folder, {kApp}).out);
  const CheckOutput version = runIn(folder, {"--version"});
  EXPECT_EQ("zymran-check " ZYMRAN_VERSION "\n", version.out);
  EXPECT_EQ(0, version.status);
  const CheckOutput help = runIn(folder, {"--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_NE(std::string::npos, help.out.find("--host NAME=DIR")) << help.out;
  // Help, version and report that can't be written: status 2, and a word.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"--version"}, {kApp}, {"--json", kApp}}) {
    SCOPED_TRACE(args[0]);
    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(nullptr, full);
    const CheckOutput run = runIn(folder, args, full);
    fclose(full);
    EXPECT_EQ((args.back() == kApp ? builtIn : "") + "zymran-check: can't write to standard output\n", run.out);
    EXPECT_EQ(2, run.status);
  }
}

}  // namespace

namespace {

// Host folders of module-definition files, each exporting `kernel` from
// KERNEL32.
std::vector<std::pair<std::string, Bytes>> hostFiles(const std::string& folder, const std::string& kernel) {
  return {{folder + "/kernel32.def", text("LIBRARY KERNEL32\nEXPORTS\n" + kernel + "\n")},
          {folder + "/ntdll.def", text("LIBRARY NTDLL\nEXPORTS\n")},
          {folder + "/user32.def", text("LIBRARY USER32\nEXPORTS\n")}};
}

template <typename T>
std::vector<T> joined(std::vector<T> a, const std::vector<T>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(CheckRun, WhyItFails) {
  const Bytes delayDamaged = [] {
    BuiltImage built = buildImage(program({{"KERNEL32.dll", {{"GetVersion"}}}, {"lazy.dll", {{"Work"}}, false, true}}));
    const uint32_t directory = get32(built.bytes, built.peOffset + kPe32DirectoryCount + 4 + 8 * kDelayImportDirectory);
    put32(built.bytes, built.importRawOffset + directory - built.importAddress + kDelayName, 0xF00000);
    return built.bytes;
  }();
  const std::vector<Row> rows = {
      {"a miss three images down names its chain",
       {{kApp, build(program({{"PLUGIN.DLL", {{"Plug"}}}}))},
        {"app/PLUGIN.DLL", build(dll("PLUGIN.DLL", {{"Plug", ""}}, {{"HELPER.DLL", {{"Help"}}}}))},
        {"app/HELPER.DLL", build(dll("HELPER.DLL", {{"Help", ""}}, {{"DEEP.DLL", {{"Gone"}}}}))},
        {"app/DEEP.DLL", build(dll("DEEP.DLL", {{"Here", ""}}))}},
       {kApp}, 1,
       kFails +
           "  function DEEP.DLL Gone: missing (needed by HELPER.DLL; via APP.EXE > PLUGIN.DLL > HELPER.DLL)\n"
           "  1 problem: 1 function\n"},
      {"of two chains as short, the first in import order; a module that fails lists what it is needed for",
       {{kApp, build(program({{"A.DLL", {{"Fa"}}}, {"GDI32.dll", {{"TextOutA"}, {"BitBlt"}}}, {"B.DLL", {{"Fb"}}}}))},
        {"app/A.DLL", build(dll("A.DLL", {{"Fa", ""}}, {{"C.DLL", {{"Fc"}, {"Gc"}}}}))},
        {"app/B.DLL", build(dll("B.DLL", {{"Fb", ""}}, {{"C.DLL", {{"Fc"}}}, {"GDI32.dll", {byOrdinal(7)}}}))}},
       {kApp}, 1,
       kFails +
           "  module C.DLL: not found in app/ (needed by A.DLL, B.DLL; via APP.EXE > A.DLL)\n"
           "  function C.DLL Fc: module not found (needed by A.DLL; via APP.EXE > A.DLL)\n"
           "  function C.DLL Gc: module not found (needed by A.DLL; via APP.EXE > A.DLL)\n"
           "  function C.DLL Fc: module not found (needed by B.DLL; via APP.EXE > B.DLL)\n"
           "  module GDI32.dll: not implemented by the host (needed by APP.EXE, B.DLL)\n"
           "  function GDI32.dll BitBlt: module not implemented by the host (needed by APP.EXE)\n"
           "  function GDI32.dll TextOutA: module not implemented by the host (needed by APP.EXE)\n"
           "  function GDI32.dll #7: module not implemented by the host (needed by B.DLL; via APP.EXE > B.DLL)\n"
           "  2 problems: 2 modules\n"},
      {"a chain through a delay-load import, shorter than the load-time one",
       {{kApp, build(program({{"A.DLL", {{"Fa"}}}, {"LAZY.DLL", {{"Work"}}, false, true}}))},
        {"app/A.DLL", build(dll("A.DLL", {{"Fa", ""}}, {{"B.DLL", {{"Fb"}}}}))},
        {"app/B.DLL", build(dll("B.DLL", {{"Fb", ""}}))},
        {"app/LAZY.DLL", build(dll("LAZY.DLL", {{"Work", ""}}, {{"B.DLL", {{"Gone"}}}}))}},
       {kApp}, 0,
       kLoads +
           "  function B.DLL Gone: missing (needed by LAZY.DLL; via APP.EXE > LAZY.DLL; delayed)\n"
           "  1 delayed problem, met only when that code runs\n"},
      {"a DLL that imports from the image named: the image spelled as imported, ordered among the modules",
       {{kApp, [] {
          ImagePlan app = program({{"B.DLL", {{"Fb"}}}, {"Z.DLL", {{"Fz"}}}});
          app.exports = {{"Here", ""}};
          return build(app);
        }()},
        {"app/B.DLL", build(dll("B.DLL", {{"Fb", ""}}, {{"app.exe", {{"Here"}, {"Gone"}}}, {"Z.DLL", {{"Nz"}}}}))},
        {"app/Z.DLL", build(dll("Z.DLL", {{"Fz", ""}}))}},
       {kApp}, 1,
       kFails +
           "  function app.exe Gone: missing (needed by B.DLL; via APP.EXE > B.DLL)\n"
           "  function Z.DLL Nz: missing (needed by B.DLL; via APP.EXE > B.DLL)\n"
           "  2 problems: 2 functions\n"},
      {"damage in the delay-load data is a delayed problem, never the verdict",
       {{kApp, delayDamaged}}, {kApp}, 0,
       kLoads +
           "  APP.EXE: delay-load data damaged: module name at address 0x00F00000 lies outside the file's data "
           "(delayed)\n"
           "  1 delayed problem, met only when that code runs\n"},
  };
  runRows("why", rows);
}

TEST(CheckRun, FromWhichHostOn) {
  const std::vector<std::pair<std::string, Bytes>> hosts =
      joined(joined(hostFiles("h/1.0", "Old\nBoth"), hostFiles("h/2.0", "Both")), hostFiles("h/3.0", "New"));
  const std::vector<std::pair<std::string, Bytes>> images = {
      {"NEW.EXE", build(program({{"KERNEL32.dll", {{"New"}}}}))},
      {"BOTH.EXE", build(program({{"KERNEL32.dll", {{"Both"}}}}))},
      {"ANY.EXE", build(program({{"KERNEL32.dll", {}}}))},
      {"NONE.EXE", build(program({{"KERNEL32.dll", {{"None"}}}}))}};
  const std::vector<std::string> three = {"--host", "1.0=h/1.0", "--host", "2.0=h/2.0", "--host", "3.0=h/3.0"};
  auto with = [&](std::vector<std::string> more) { return joined(three, more); };
  const std::string newFails =
      "  function KERNEL32.dll New: not implemented (needed by NEW.EXE)\n  1 problem: 1 function\n";
  const std::vector<Row> rows = {
      {"loads under the last host only, and from it on", joined(hosts, images), with({"NEW.EXE"}), 1,
       "NEW.EXE under 1.0: does not load\n" + newFails + "NEW.EXE under 2.0: does not load\n" + newFails +
           "NEW.EXE under 3.0: loads\n"
           "NEW.EXE loads under 3.0; from 3.0 on\n"
           "\nFunctions missing under some host:\n"
           "  function          needed by  1.0      2.0      3.0\n"
           "  KERNEL32.dll New  NEW.EXE    missing  missing  found\n"},
      {"under the first two only: no host from which on", joined(hosts, images), with({"--require", "1.0", "BOTH.EXE"}),
       0,
       "BOTH.EXE under 1.0: loads\nBOTH.EXE under 2.0: loads\nBOTH.EXE under 3.0: does not load\n"
       "  function KERNEL32.dll Both: not implemented (needed by BOTH.EXE)\n  1 problem: 1 function\n"
       "BOTH.EXE loads under 1.0, 2.0\n"
       "\nFunctions missing under some host:\n"
       "  function           needed by  1.0    2.0    3.0\n"
       "  KERNEL32.dll Both  BOTH.EXE   found  found  missing\n"},
      {"under every host, and under none", joined(hosts, images), with({"--require", "3.0", "ANY.EXE", "NONE.EXE"}),
       1,
       "ANY.EXE under 1.0: loads\nANY.EXE under 2.0: loads\nANY.EXE under 3.0: loads\n"
       "ANY.EXE loads under 1.0, 2.0, 3.0; from 1.0 on\n"
       "NONE.EXE under 1.0: does not load\n"
       "  function KERNEL32.dll None: not implemented (needed by NONE.EXE)\n  1 problem: 1 function\n"
       "NONE.EXE under 2.0: does not load\n"
       "  function KERNEL32.dll None: not implemented (needed by NONE.EXE)\n  1 problem: 1 function\n"
       "NONE.EXE under 3.0: does not load\n"
       "  function KERNEL32.dll None: not implemented (needed by NONE.EXE)\n  1 problem: 1 function\n"
       "NONE.EXE loads under no host given\n"
       "\nFunctions missing under some host:\n"
       "  image     function           needed by  1.0      2.0      3.0\n"
       "  NONE.EXE  KERNEL32.dll None  NONE.EXE   missing  missing  missing\n"},
      {"--require names a host of the run", joined(hosts, images), with({"--require", "4.0", "ANY.EXE"}), 2,
       "zymran-check: --require 4.0: no host of that name in this run\n"},
  };
  runRows("hosts-on", rows);
  // The JSON says the same.
  const std::string folder = folderOf("hosts-on-json", joined(hosts, images));
  // Under a host that does not decide, problems are for information.
  const std::string notice = " file=NEW.EXE,title=NEW.EXE under ";
  const std::string line = "::function KERNEL32.dll New: not implemented (needed by NEW.EXE)\n";
  EXPECT_EQ("::notice" + notice + "1.0" + line + "::error" + notice + "2.0" + line,
            runIn(folder, with({"--require", "2.0", "--require", "3.0", "--format", "github", "NEW.EXE"})).out);
  const std::string junit = runIn(folder, with({"--require", "2.0", "--format", "junit", "NEW.EXE"})).out;
  EXPECT_NE(std::string::npos, junit.find("<testsuites name=\"zymran-check\" tests=\"3\" failures=\"1\">")) << junit;
  const CheckOutput run = runIn(folder, with({"--json", "NEW.EXE", "BOTH.EXE", "NONE.EXE"}));
  const nlohmann::json document = nlohmann::json::parse(run.out);
  const std::vector<std::pair<std::vector<std::string>, nlohmann::json>> expected = {
      {{"3.0"}, "3.0"}, {{"1.0", "2.0"}, nullptr}, {{}, nullptr}};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(nlohmann::json(expected[i].first), document["images"][i]["loads_under"]);
    EXPECT_EQ(expected[i].second, document["images"][i]["loads_from"]);
  }
}

// A baseline round trip: a run's JSON as the baseline, one problem fixed
// and one added; only the new one decides.
TEST(CheckRun, KnownProblems) {
  writeHosts();
  const Bytes before =
      build(program({{"KERNEL32.dll", {{"GetVersion"}, {"CreateFileW"}}}, {"GDI32.dll", {{"TextOutA"}}}}));
  const Bytes after = build(program({{"KERNEL32.dll", {{"GetVersion"}, {"NoSuch"}}}, {"GDI32.dll", {{"TextOutA"}}}}));
  const std::string folder = folderOf("known", {{kApp, before}, {"bad.json", text("{\"format\": \"other\"}")}});
  const std::vector<std::string> host = {"--host", "1.0=../hosts/1.0"};
  const CheckOutput first = runIn(folder, joined(host, {"--json", kApp}));
  ASSERT_EQ(1, first.status);
  writeFile(folder + "/baseline.json", text(first.out));
  const std::string gdi =
      "  module GDI32.dll: not implemented by the host (needed by APP.EXE) (known)\n"
      "  function GDI32.dll TextOutA: module not implemented by the host (needed by APP.EXE)\n";
  const CheckOutput same = runIn(folder, joined(host, {"--baseline", "baseline.json", kApp}));
  EXPECT_EQ("app/APP.EXE under 1.0: does not load (known problems only)\n" + gdi +
                "  function KERNEL32.dll CreateFileW: not implemented (needed by APP.EXE) (known)\n"
                "  2 problems: 1 module, 1 function\n",
            same.out);
  EXPECT_EQ(0, same.status);

  writeFile(folder + "/" + kApp, after);
  const CheckOutput changed = runIn(folder, joined(host, {"--baseline", "baseline.json", kApp}));
  EXPECT_EQ("app/APP.EXE under 1.0: does not load\n" + gdi +
                "  function KERNEL32.dll NoSuch: not implemented (needed by APP.EXE)\n"
                "  2 problems: 1 module, 1 function\n"
                "\nfixed since the baseline: app/APP.EXE under 1.0: function KERNEL32.dll CreateFileW (needed by "
                "APP.EXE)\n",
            changed.out);
  EXPECT_EQ(1, changed.status);
  const nlohmann::json document =
      nlohmann::json::parse(runIn(folder, joined(host, {"--json", "--baseline", "baseline.json", kApp})).out);
  const nlohmann::json& result = document["images"][0]["results"][0];
  EXPECT_FALSE(result["passes"].get<bool>());
  EXPECT_TRUE(result["modules"][0]["known"].get<bool>());
  EXPECT_FALSE(result["missing"][0]["known"].get<bool>());
  EXPECT_EQ(nlohmann::json::parse(R"([{"host": "1.0", "image": "app/APP.EXE", "module": "KERNEL32.dll", "kind": null,
                                       "function": "CreateFileW", "ordinal": null, "needed_by": "APP.EXE"}])"),
            document["fixed"]);
  EXPECT_EQ("::notice file=app/APP.EXE,title=app/APP.EXE under 1.0::module GDI32.dll: not implemented by the host "
            "(needed by APP.EXE) (known)\n"
            "::error file=app/APP.EXE,title=app/APP.EXE under 1.0::function KERNEL32.dll NoSuch: not implemented "
            "(needed by APP.EXE)\n",
            runIn(folder, joined(host, {"--format", "github", "--baseline", "baseline.json", kApp})).out);

  const std::vector<std::pair<std::string, std::string>> unusable = {
      {"bad.json", "zymran-check: --baseline bad.json: not a zymran-check JSON report\n"},
      {"none.json", "zymran-check: --baseline none.json: can't be read: No such file or directory\n"},
      {"app", "zymran-check: --baseline app: can't be read: not a regular file\n"}};
  for (const auto& file : unusable) {
    const CheckOutput run = runIn(folder, joined(host, {"--baseline", file.first, kApp}));
    EXPECT_EQ(file.second, run.out);
    EXPECT_EQ(2, run.status);
  }
}

TEST(CheckRun, FormatsAndReportFiles) {
  writeHosts();
  const std::string folder = folderOf("formats", {{kApp, build(program({{"GDI32.dll", {{"TextOutA"}}}}))}});
  const std::vector<std::string> host = {"--host", "1.0=../hosts/1.0"};
  const std::vector<std::pair<std::vector<std::string>, std::string>> errors = {
      {{"--format", "xml", kApp}, "zymran-check: --format xml: not one of text, json, junit, sarif, github\n"},
      {{"--json", "--format", "text", kApp},
       "zymran-check: --json and --format text ask for two reports on standard output\n"},
      {{"--report", "json", kApp},
       "zymran-check: --report json: expected FORMAT=FILE, FORMAT one of text, json, junit, sarif, github\n"},
      {{"--report", "html=x", kApp},
       "zymran-check: --report html=x: expected FORMAT=FILE, FORMAT one of text, json, junit, sarif, github\n"}};
  for (const auto& error : errors) {
    SCOPED_TRACE(error.second);
    const CheckOutput run = runIn(folder, joined(host, error.first));
    EXPECT_EQ(error.second, run.out);
    EXPECT_EQ(2, run.status);
  }
  // Each report file written whole; one that can't be written is named, and
  // the others are still written.
  const CheckOutput run = runIn(folder, joined(host, {"--json", "--all", "--report", "text=out.txt", "--report",
                                                      "junit=none/out.xml", "--report", "json=out.json", kApp}));
  EXPECT_EQ(2, run.status);
  std::string textReport, jsonReport, reason;
  ASSERT_TRUE(check::readWholeFile(folder + "/out.txt", &textReport, &reason));
  ASSERT_TRUE(check::readWholeFile(folder + "/out.json", &jsonReport, &reason));
  EXPECT_EQ(jsonReport + "zymran-check: none/out.xml: can't be written: No such file or directory\n", run.out);
  EXPECT_EQ(runIn(folder, joined(host, {"--all", kApp})).out, textReport);
  const nlohmann::json document = nlohmann::json::parse(jsonReport);
  EXPECT_EQ("GDI32.dll", document["images"][0]["results"][0]["modules"][0]["name"]);
  EXPECT_EQ(nlohmann::json::array(), document["images"][0]["results"][0]["found"]);
  std::vector<std::string> names;
  ASSERT_TRUE(check::listFolder(folder, &names, &reason));
  EXPECT_EQ((std::vector<std::string>{"app", "out.json", "out.txt"}), names);
}

// An image's report, text and JSON, is the same byte for byte whether it is
// checked alone or among other images, in any order, even where two files
// of one name in different case each serve the images that spell it so.
TEST(CheckRun, OneImageOneReportWhateverElseIsChecked) {
  writeHosts();
  const std::string folder = folderOf(
      "orders", {{"a.dll", build(dll("a.dll", {{"F", ""}, {"Fwd", "A.G"}}))},
                 {"A.DLL", build(dll("A.DLL", {{"G", ""}}))},
                 {"APP.EXE", build(program({{"a.dll", {{"F"}}}}))},
                 {"B.EXE", build(program({{"A.DLL", {{"G"}}}}))},
                 {"C.EXE", build(program({{"a.dll", {{"F"}, {"Fwd"}}}, {"A.DLL", {{"G"}}}}))},
                 {"D.EXE", build(program({{"A.DLL", {{"G"}}}, {"a.dll", {{"Fwd"}}}}))}});
  std::vector<std::string> images = {"APP.EXE", "B.EXE", "C.EXE", "D.EXE"};
  const std::vector<std::string> host = {"--host", "1.0=../hosts/1.0"};
  // Each image's block of a text report, and its entry of a JSON one.
  auto textBlocks = [](const std::string& out) {
    std::map<std::string, std::string> blocks;
    std::string image;
    for (size_t at = 0, end; at < out.size(); at = end + 1) {
      end = out.find('\n', at);
      const std::string line = out.substr(at, end - at + 1);
      if (line[0] != ' ') image = line.substr(0, line.find(' '));
      blocks[image] += line;
    }
    return blocks;
  };
  auto jsonEntries = [](const std::string& out) {
    std::map<std::string, std::string> entries;
    const nlohmann::json document = nlohmann::json::parse(out);
    for (const auto& entry : document["images"]) entries[entry["image"].get<std::string>()] = entry.dump();
    return entries;
  };
  std::map<std::string, std::string> aloneText, aloneJson;
  for (const std::string& image : images) {
    aloneText[image] = textBlocks(runIn(folder, joined(host, {image})).out)[image];
    aloneJson[image] = jsonEntries(runIn(folder, joined(host, {"--json", image})).out)[image];
  }
  EXPECT_EQ("APP.EXE under 1.0: loads\n", aloneText["APP.EXE"]);
  EXPECT_EQ("B.EXE under 1.0: loads\n", aloneText["B.EXE"]);
  EXPECT_NE(std::string::npos, aloneText["C.EXE"].find("function a.dll G: missing"));
  EXPECT_NE(std::string::npos, aloneText["D.EXE"].find("function A.DLL Fwd: missing"));
  do {
    SCOPED_TRACE(images[0] + " " + images[1] + " " + images[2] + " " + images[3]);
    EXPECT_EQ(aloneText, textBlocks(runIn(folder, joined(host, images)).out));
    EXPECT_EQ(aloneJson, jsonEntries(runIn(folder, joined(host, joined({"--json"}, images))).out));
  } while (std::next_permutation(images.begin(), images.end()));
}

}  // namespace
