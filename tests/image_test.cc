#include "image/image.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image_builder.h"
#include "test_support.h"

namespace {

TEST(Modules, Classes) {
  struct Case {
    const char* name;
    bool system;
    bool implemented;
  };
  const Case cases[] = {
      {"KERNEL32.dll", true, true}, {"kernel32.DLL", true, true}, {"NTDLL.dll", true, true},
      {"User32.DLL", true, true},   {"GDI32.dll", true, false},   {"gdi32.dll", true, false},
      {"KERNEL32", false, false},   {"KERNEL32.dll ", false, false},
      {"COMCTL32.dll", false, false}, {"", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.system, isSystemModule(c.name)) << c.name;
    EXPECT_EQ(c.implemented, isImplementedModule(c.name)) << c.name;
  }
}

TEST(Report, Samples) {
  struct Case {
    const char* title;
    ImagePlan plan;
    std::string report;
  };
  const std::string name40(40, 'F');
  const std::string name41 = "Get" + std::string(38, 'x');
  std::vector<Case> cases;
  cases.push_back({"sample", sampleImagePlan(), kSampleReport});
  cases.push_back({"no imports", ImagePlan{}, ""});
  {
    ImagePlan s = sampleImagePlan();
    for (ImportedModule& m : s.modules) m.lookupThroughFirstThunk = true;
    cases.push_back({"lists through FirstThunk", s, kSampleReport});
  }
  {
    ImagePlan s = sampleImagePlan();
    s.importSectionName = ".IDATA";
    s.sectionsBefore = {".text", ".data", ".rdata"};
    cases.push_back({".IDATA after three sections", s, kSampleReport});
  }
  // The section table follows an optional header of any size, and the
  // descriptors start where the import directory says.
  for (uint32_t directories : {0u, 2u, 5u}) {
    ImagePlan s = sampleImagePlan();
    s.dataDirectories = directories;
    cases.push_back({"compact optional header", s, kSampleReport});
  }
  {
    ImagePlan s = sampleImagePlan();
    s.addressListsFirst = true;
    cases.push_back({"descriptors after the address lists", s, kSampleReport});
  }
  {
    ImagePlan s;
    s.modules = {{"kernel32.dll", {{"GetVersion"}, {"getversion"}}},
                 {"User32.DLL", {{"MessageBoxA"}}},
                 {"gdi32.DLL", {byOrdinal(1), {"TextOutA"}}},
                 {"MSVCRT.dll", {byOrdinal(5), {"printf"}}},
                 {"kernel32.dll", {{"ExitProcess"}}},
                 {"ntdll.dll", {{"NtClose"}, {"NtOpenFile"}}}};
    cases.push_back({"names in their own case, a module twice", s,
                     "\nImports from kernel32.dll\n"
                     "GetVersion                              Implemented\n"
                     "getversion                              Not implemented\n"
                     "\nImports from User32.DLL\n"
                     "MessageBoxA                             Implemented\n"
                     "\nThe Orvanel 32bit DOS extender does not implement gdi32.DLL\n"
                     "\nModule MSVCRT.dll is not a system module.\n"
                     "\nImports from kernel32.dll\n"
                     "ExitProcess                             Implemented\n"
                     "\nImports from ntdll.dll\n"
                     "NtClose                                 Implemented\n"
                     "NtOpenFile                              Not implemented\n"});
  }
  {
    ImagePlan s;
    s.modules = {{"KERNEL32.dll", {{name40}, {name41}, {"A"}}}, {"USER32.dll", {}}};
    cases.push_back({"long names", s,
                     "\nImports from KERNEL32.dll\n" + name40 + "Not implemented\n" + name41 +
                         "Not implemented\nA" + std::string(39, ' ') +
                         "Not implemented\n\nImports from USER32.dll\n"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const Captured got = captureCheckImage(buildImage(c.plan).bytes);
    EXPECT_EQ(0, got.status);
    EXPECT_EQ(crlf(c.report), got.out);
  }
}

TEST(Report, NotAPeFile) {
  const std::vector<uint8_t>& good = sampleImage().bytes;
  struct Case {
    const char* title;
    std::vector<uint8_t> bytes;
    std::string out = "Not a PE file\r\n";
  };
  std::vector<Case> cases;
  {
    ImagePlan s = sampleImagePlan();
    s.pe32plus = true;
    cases.push_back({"PE32+", buildImage(s).bytes,
                     "This is a 64-bit image; the Orvanel 32bit DOS extender runs 32-bit images "
                     "only.\r\n"});
  }
  cases.push_back({"empty", {}});
  cases.push_back({"MZ only", {'M', 'Z'}});
  cases.push_back({"63 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 63)});
  cases.push_back({"PE header cut short", std::vector<uint8_t>(good.begin(), good.begin() + 0x80 + 247)});
  auto patched = [&](const char* title, size_t offset, std::vector<uint8_t> value) {
    std::vector<uint8_t> b = good;
    for (size_t i = 0; i < value.size(); ++i) b[offset + i] = value[i];
    cases.push_back({title, b});
  };
  patched("ZM", 0, {'Z', 'M'});
  patched("e_lfarlc 0x003E", 0x18, {0x3E, 0});
  patched("e_lfarlc 0x0140", 0x18, {0x40, 1});
  patched("PE with a 1", 0x80, {'P', 'E', 0, 1});
  patched("pe", 0x80, {'p', 'e', 0, 0});
  patched("e_lfanew past the end", 0x3C, {0, 0, 1, 0});
  patched("e_lfanew at the top", 0x3C, {0xFF, 0xFF, 0xFF, 0xFF});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const Captured got = captureCheckImage(c.bytes);
    EXPECT_EQ(1, got.status);
    EXPECT_EQ(c.out, got.out);
  }
}

// Damaged import data ends the report where it is met, with one line.
TEST(Report, DamagedImportData) {
  const BuiltImage& base = sampleImage();
  const uint32_t raw = base.importRawOffset;
  const uint32_t va = base.importAddress;
  const uint32_t end = va + base.importSize;
  const std::string kernelHeading = "\nImports from KERNEL32.dll\n";
  struct Case {
    const char* title;
    std::vector<uint8_t> bytes;
    std::string report;
  };
  std::vector<Case> cases;
  auto withPatch = [&](const char* title, size_t offset, uint32_t value, std::string report) {
    std::vector<uint8_t> b = base.bytes;
    put32(b, offset, value);
    cases.push_back({title, b, report});
  };
  withPatch("module name beyond the section", raw + 0x0C, end,
            "\nDamaged image: module name at address 0x00002200 lies outside the import section\n");
  withPatch("module name below the section", raw + 0x0C, va - 1,
            "\nDamaged image: module name at address 0x00001FFF lies outside the import section\n");
  withPatch("lookup list outside", raw + 0x00, 0xFFFFFFFC,
            kernelHeading +
                "\nDamaged image: lookup entry at address 0xFFFFFFFC lies outside the import section\n");
  {
    // The third function's hint/name entry points past the section.
    const uint32_t lookup = get32(base.bytes, raw) - va;
    withPatch("hint/name entry outside", raw + lookup + 8, end - 1,
              kernelHeading +
                  "GetVersion                              Implemented\n"
                  "GetStartupInfoA                         Implemented\n"
                  "\nDamaged image: hint/name entry at address 0x000021FF lies outside the import section\n");
  }
  withPatch("section with no data", base.importEntryOffset + kSectionSizeOfRawData, 0,
            "\nDamaged image: the import section at file offset 0x00000400 holds no data\n");
  withPatch("section data past the end of the file", base.importEntryOffset + kSectionPointerToRawData,
            0x7FFFFFFF,
            "\nDamaged image: the import section at file offset 0x7FFFFFFF holds no data\n");
  withPatch("section too small for one descriptor", base.importEntryOffset + kSectionSizeOfRawData, 10,
            "\nDamaged image: import descriptor at address 0x00002000 lies outside the import section\n");
  {
    // Names that run to the end of the section without a terminator.
    std::vector<uint8_t> b = base.bytes;
    for (uint32_t i = raw + 0x1C0; i < raw + base.importSize; ++i) b[i] = 'k';
    put32(b, raw + 0x0C, va + 0x1C0);
    cases.push_back({"module name without NUL", b,
                     "\nDamaged image: module name at address 0x000021C0 runs past the end of the "
                     "import section\n"});
  }
  {
    // A section table that claims more entries than the headers hold.
    std::vector<uint8_t> b = base.bytes;
    put16(b, base.peOffset + kPeNumberOfSections, 200);
    b[base.importEntryOffset + 1] = 'x';
    cases.push_back({"section table past the headers", b,
                     "\nDamaged image: section table entry 12 lies outside the 512 header bytes read\n"});
  }
  {
    // A file that ends just after its PE header.
    std::vector<uint8_t> b(base.bytes.begin(), base.bytes.begin() + base.peOffset + 248);
    cases.push_back({"no section table", b,
                     "\nDamaged image: section table entry 0 lies outside the 0 header bytes read\n"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const Captured got = captureCheckImage(c.bytes);
    EXPECT_EQ(1, got.status);
    EXPECT_EQ(crlf(c.report), got.out);
  }
}

// Sizes that the headers claim do not change the report: only what the file
// holds is read. Nor does an import directory outside ".idata", or an
// optional header magic other than PE32+.
TEST(Report, ClaimedSizesBeyondTheFile) {
  const BuiltImage& base = sampleImage();
  struct Patch {
    const char* title;
    uint32_t offset;
    uint32_t value;
  };
  const Patch patches[] = {
      {"SizeOfHeaders near 4 GiB", base.peOffset + kPeSizeOfHeaders, 0xFFFFFFF0},
      {"SizeOfRawData near 4 GiB", base.importEntryOffset + kSectionSizeOfRawData, 0xFFFFFFF0},
      {"SizeOfRawData of 2 GiB", base.importEntryOffset + kSectionSizeOfRawData, 0x80000000},
      {"import directory past .idata", base.peOffset + kPeImportDirectory,
       base.importAddress + base.importSize},
      {"import directory in the headers", base.peOffset + kPeImportDirectory, 0x10},
      {"ROM magic", base.peOffset + 0x18, 0x0107},
  };
  for (const Patch& p : patches) {
    SCOPED_TRACE(p.title);
    std::vector<uint8_t> b = base.bytes;
    put32(b, p.offset, p.value);
    const Captured got = captureCheckImage(b);
    EXPECT_EQ(0, got.status);
    EXPECT_EQ(crlf(kSampleReport), got.out);
  }
}

// Every prefix of an image gives either the whole report, "Not a PE file", or
// the lines of the whole report up to the point of damage and one damage line.
TEST(Report, TruncatedAtEveryLength) {
  ImagePlan plan = sampleImagePlan();
  plan.modules[0].lookupThroughFirstThunk = true;
  const std::vector<uint8_t> whole = buildImage(plan).bytes;
  const std::string full = crlf(kSampleReport);
  for (size_t length = 0; length <= whole.size(); ++length) {
    const Captured got =
        captureCheckImage(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(length)));
    SCOPED_TRACE(length);
    if (got.status == 0) {
      ASSERT_EQ(full, got.out);
      continue;
    }
    ASSERT_EQ(1, got.status);
    if (got.out == "Not a PE file\r\n") {
      ASSERT_LT(length, 0x80u + 248u);
      continue;
    }
    const size_t damage = got.out.rfind("\r\nDamaged image: ");
    ASSERT_NE(std::string::npos, damage) << got.out;
    ASSERT_EQ(0u, full.compare(0, damage, got.out, 0, damage)) << got.out;
    ASSERT_EQ(got.out.size() - 2, got.out.find("\r\n", damage + 2));
  }
}

TEST(ReportDeathTest, InternalChecks) {
  const BuiltImage& base = sampleImage();
  struct Case {
    const char* title;
    std::vector<uint8_t> bytes;
    std::string check;
  };
  std::vector<Case> cases;
  {
    std::vector<uint8_t> b = base.bytes;
    put32(b, base.peOffset + kPeSizeOfHeaders, 0);
    cases.push_back({"SizeOfHeaders 0", b, failedCheck("fullHeader", 52)});
  }
  for (const char* name : {".idata$2", ".idat", "idata", ".idatax"}) {
    ImagePlan s = sampleImagePlan();
    s.importSectionName = name;
    cases.push_back({name, buildImage(s).bytes, failedCheck("i < hdr.nObjects", 66)});
  }
  {
    std::vector<uint8_t> b = base.bytes;
    put16(b, base.peOffset + kPeNumberOfSections, 0);
    cases.push_back({"no sections", b, failedCheck("i < hdr.nObjects", 66)});
  }
  {
    ImagePlan s = sampleImagePlan();
    s.modules[1].functions.insert(s.modules[1].functions.begin() + 1, byOrdinal(7));
    cases.push_back({"ordinal from USER32", buildImage(s).bytes,
                     failedCheck("!(*impOrd & 0x80000000)", 172)});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string path = writeTempFile("check.dll", c.bytes);
    EXPECT_EXIT(
        {
          File* f = fileOpen(path.c_str());
          checkImage(f);
        },
        ::testing::ExitedWithCode(3), ::testing::Matcher<const std::string&>(c.check));
  }
}

}  // namespace
