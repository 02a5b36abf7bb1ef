#include "host/standin.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "image/modules.h"

namespace {

TEST(StandInHost, ModuleLookup) {
  struct Case {
    const char* name;
    const char* found;  // the module's table name, or null
  };
  const Case cases[] = {
      {"KERNEL32.DLL", "KERNEL32.dll"}, {"kernel32.dll", "KERNEL32.dll"},
      {"kernel32", "KERNEL32.dll"},     {"User32.Dll", "USER32.dll"},
      {"ntdll", "NTDLL.dll"},           {"GDI32.dll", nullptr},
      {"KERNEL32.EXE", nullptr},        {"KERNEL32.dl", nullptr},
      {"KERNEL32.dllx", nullptr},       {"", nullptr},
      {"KERNEL", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HostHandle module = host::GetModuleHandleA(c.name);
    if (c.found == nullptr) {
      EXPECT_EQ(nullptr, module);
    } else {
      ASSERT_NE(nullptr, module);
      EXPECT_STREQ(c.found, module->name);
    }
  }
}

TEST(ModuleNames, OneModuleWhateverTheSpelling) {
  const struct {
    const char* a;
    const char* b;
    bool same;
  } cases[] = {
      {"KERNEL32.dll", "kernel32.DLL", true}, {"kernel32", "KERNEL32.DLL", true},
      {"kernel32.", "KERNEL32.DLL", false},   {"my.d\\K", "MY.D\\k.dll", true},
      {"my.d/K", "my.d/K.dll", true},         {"K.dll", "K.dllx", false},
      {"", ".dll", true},                     {"K", "K.exe", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " " + c.b);
    EXPECT_EQ(c.same, sameModule(c.a, c.b));
    EXPECT_EQ(c.same, sameModule(c.b, c.a));
  }
}

TEST(StandInHost, ExportLookupIsExact) {
  const HostHandle kernel = host::GetModuleHandleA("KERNEL32.DLL");
  ASSERT_NE(nullptr, kernel);
  EXPECT_NE(nullptr, host::GetProcAddress(kernel, "Orvanel32"));
  EXPECT_NE(nullptr, host::GetProcAddress(kernel, "GetVersion"));
  EXPECT_EQ(nullptr, host::GetProcAddress(kernel, "getversion"));
  EXPECT_EQ(nullptr, host::GetProcAddress(kernel, "GetVersio"));
  EXPECT_EQ(nullptr, host::GetProcAddress(kernel, "GetVersionX"));
  EXPECT_EQ(nullptr, host::GetProcAddress(kernel, ""));
  EXPECT_EQ(nullptr, host::GetProcAddress(nullptr, "GetVersion"));
  EXPECT_EQ(nullptr, host::GetProcAddress(host::GetModuleHandleA("USER32"), "GetVersion"));
}

// Binary search needs every export list in byte order; every export must be
// found through the lookup, the first and the last included.
TEST(StandInHost, GeneratedTableIsSortedAndComplete) {
  ASSERT_GE(hostModuleCount, 3u);
  for (unsigned m = 0; m < hostModuleCount; ++m) {
    const HostModule& module = hostModules[m];
    SCOPED_TRACE(module.name);
    EXPECT_EQ(&module, host::GetModuleHandleA(module.name));
    for (unsigned i = 0; i < module.exportCount; ++i) {
      if (i > 0) {
        EXPECT_LT(strcmp(module.exports[i - 1], module.exports[i]), 0);
      }
      EXPECT_NE(nullptr, host::GetProcAddress(&module, module.exports[i])) << module.exports[i];
    }
  }
}

}  // namespace
