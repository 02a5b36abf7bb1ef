// The table generator run as a process: one file a module, and nothing left
// behind when it fails.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"
#include "test_support.h"

namespace {

TEST(MakeTable, Outcomes) {
  const struct {
    std::vector<std::pair<std::string, std::string>> files;  // name, module in LIBRARY
    std::string err;  // "@" for the folder
  } cases[] = {
      {{{"k.def", "k.exe"}, {"k2.def", "k"}, {"k3.def", "k.dll.x"}}, ""},
      {{{"user32 - copy.def", "user32"}, {"user32.def", "USER32.DLL"}},
       "@/user32.def: defines the module USER32.DLL again, after @/user32 - copy.def\n"},
      {{{"KERNEL32.def", "NTDLL"}, {"kernel32.def", "KERNEL32"}},
       "@/kernel32.def: a name that differs only in case from @/KERNEL32.def\n"},
      // A full stop in a folder of the name is no extension: ".dll" is added.
      {{{"a.def", "\"my.d\\K\""}, {"b.def", "\"my.d\\K.DLL\""}},
       "@/b.def: defines the module my.d\\K.DLL again, after @/a.def\n"},
  };
  for (size_t n = 0; n < sizeof cases / sizeof cases[0]; ++n) {
    const std::string dir = tempDir() + "/table" + std::to_string(n);
    mkdir(dir.c_str(), 0755);
    std::vector<std::string> args{dir + "/table.cc"};
    for (const auto& file : cases[n].files) {
      const std::string text = "LIBRARY " + file.second + "\nEXPORTS\nA\n";
      args.push_back(
          writeTempFile("table" + std::to_string(n) + "/" + file.first, {text.begin(), text.end()}));
    }
    std::string err = cases[n].err;
    for (size_t at; (at = err.find('@')) != std::string::npos;) err.replace(at, 1, dir);
    const ToolRun run = runTool(ZYMRAN_MAKE_TABLE, args);
    EXPECT_EQ(err, run.err);
    EXPECT_EQ(err.empty() ? 0 : 1, run.status);
    EXPECT_EQ(err.empty(), access(args[0].c_str(), F_OK) == 0);
  }
  // An output that can't be written (a folder) leaves no temporary file behind.
  const std::string folder = tempDir() + "/table0";
  const ToolRun run = runTool(ZYMRAN_MAKE_TABLE, {folder, folder + "/k.def"});
  EXPECT_EQ(folder + ": can't be written\n", run.err);
  EXPECT_EQ(1, run.status);
  EXPECT_NE(0, access((folder + ".tmp").c_str(), F_OK));
}

}  // namespace
