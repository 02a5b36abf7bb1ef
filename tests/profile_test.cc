// zymran-profile run as a process: the profiles it writes, what it says on
// standard error, and its exit status.
#include <dirent.h>
#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "image_builder.h"
#include "process.h"
#include "test_support.h"

namespace {

const std::string kProfile = ZYMRAN_BIN_DIR "/zymran-profile";

// Defined by g++ and clang alike under AddressSanitizer.
#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

// The file offset of the export name table of `image`; its ordinal table
// follows it.
uint32_t nameTable(const BuiltImage& image) {
  return image.exportRawOffset + get32(image.bytes, image.exportRawOffset + kExportAddressOfNames) -
         image.exportAddress;
}

// The first two entries of the name table swapped, with their ordinals: the
// table is out of order.
std::vector<uint8_t> firstNamesSwapped(const BuiltImage& image, uint32_t names) {
  std::vector<uint8_t> b = image.bytes;
  const uint32_t table = nameTable(image);
  const uint32_t ordinals = table + 4 * names;
  put32(b, table, get32(image.bytes, table + 4));
  put32(b, table + 4, get32(image.bytes, table));
  put16(b, ordinals, static_cast<uint16_t>(get32(image.bytes, ordinals) >> 16));
  put16(b, ordinals + 2, static_cast<uint16_t>(get32(image.bytes, ordinals)));
  return b;
}

// Every file in a folder, by name, with its contents.
std::map<std::string, std::string> folderContents(const std::string& folder) {
  std::map<std::string, std::string> files;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return files;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::ifstream in(folder + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    files[name] = text.str();
  }
  closedir(dir);
  return files;
}

// zymran-profile writes a whole profile for each DLL it can read, nothing for
// one it can't, and says why on standard error.
TEST(Profile, Outcomes) {
  const std::string dir = tempDir() + "/profile";
  for (const char* sub : {"", "/good", "/bad", "/other"}) mkdir((dir + sub).c_str(), 0755);
  ImagePlan plan = exportingImagePlan();
  const BuiltImage good = buildImage(plan);
  const std::string kernel = writeTempFile("profile/good/KERNEL32.DLL", good.bytes);
  const std::string lower = writeTempFile("profile/other/kernel32.dll", good.bytes);
  std::vector<uint8_t> damaged = good.bytes;
  put32(damaged, good.exportRawOffset + kExportAddressOfNames, 0x00900000);
  const std::string ntdll = writeTempFile("profile/bad/NTDLL.DLL", damaged);
  plan.exports.push_back({"say \"hi\"", ""});
  const std::string quote = writeTempFile("profile/bad/USER32.DLL", buildImage(plan).bytes);
  const std::string text = writeTempFile("profile/bad/text.dll", {'M', 'Z'});
  ImagePlan standIns;
  standIns.dll = true;
  standIns.exports = {{"Ordinal2", ""}, {"", ""}, {"_Ordinal2", ""}, {"Ordinal02", ""}};
  const std::string taken = writeTempFile("profile/good/TAKEN.DLL", buildImage(standIns).bytes);
  const std::string unsorted = writeTempFile("profile/good/UNSORTED.DLL", firstNamesSwapped(good, 4));
  // On POSIX only '/' separates: a backslash is part of a name.
  const std::string backslash = writeTempFile("profile/good/a\\k.dll", good.bytes);
  const std::string kernelProfile =
      "LIBRARY KERNEL32.DLL\nEXPORTS\n\"@at\" @5\nHeapAlloc @3\nZeta @1\n\"with blank\" @4\n"
      "Ordinal2 @2 NONAME\n";
  const std::string usage =
      "zymran-profile " ZYMRAN_VERSION "\n"
      "usage: zymran-profile <folder> <DLL>...\n"
      "  Writes <folder>/<name>.def: what each DLL exports, by name and ordinal.\n";
  auto says = [](const std::string& file, const std::string& what) {
    return "zymran-profile: " + file + ": " + what + "\n";
  };

  struct Case {
    const char* title;
    std::vector<std::string> dlls;  // after the folder; none: no folder either
    std::string err;
    int status;
    std::map<std::string, std::string> files;
  };
  const Case cases[] = {
      {"no argument", {}, usage, 2, {}},
      {"one DLL", {kernel}, "", 0, {{"KERNEL32.def", kernelProfile}}},
      {"stand-in names that the DLL exports", {taken}, "", 0,
       {{"TAKEN.def", "LIBRARY TAKEN.DLL\nEXPORTS\nOrdinal02 @4\nOrdinal2 @1\n_Ordinal2 @3\n__Ordinal2 @2 NONAME\n"}}},
      {"names in the table's order, not sorted", {unsorted}, "", 0,
       {{"UNSORTED.def", "LIBRARY UNSORTED.DLL\nEXPORTS\nHeapAlloc @3\n\"@at\" @5\nZeta @1\n\"with blank\" @4\n"
                         "Ordinal2 @2 NONAME\n"}}},
      {"a damaged DLL among good ones", {ntdll, kernel},
       says(ntdll, "export name table at address 0x00900000 (4 entries) lies outside the file's data"),
       1, {{"KERNEL32.def", kernelProfile}}},
      {"a name that can't be written", {quote},
       says(quote, "export name at address 0x0000309C holds a byte that a module-definition file "
                   "cannot hold"), 1, {}},
      {"not a PE image", {text}, says(text, "not a PE image: no DOS header"), 1, {}},
      {"missing DLL", {dir + "/none.dll"}, says(dir + "/none.dll", "can't be opened"), 2, {}},
      {"a backslash in the DLL's name", {backslash}, "", 0,
       {{"a\\k.def", "LIBRARY a\\k.dll" + kernelProfile.substr(kernelProfile.find('\n'))}}},
      {"two DLLs of one name", {kernel, lower},
       says(lower, "its profile would replace that of an earlier DLL"), 2,
       {{"KERNEL32.def", kernelProfile}}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string out = dir + "/out" + std::to_string(n++);
    mkdir(out.c_str(), 0755);
    std::vector<std::string> args;
    if (!c.dlls.empty()) args.push_back(out);
    args.insert(args.end(), c.dlls.begin(), c.dlls.end());
    const ToolRun run = runTool(kProfile, args);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(c.err, run.err);
    EXPECT_EQ(c.status, run.status);
    EXPECT_EQ(c.files, folderContents(out));
  }

  const ToolRun folderOnly = runTool(kProfile, {dir});
  EXPECT_EQ(usage, folderOnly.err);
  EXPECT_EQ(2, folderOnly.status);
  // A folder whose name ends in a backslash gets the profile inside it.
  mkdir((dir + "/bs\\").c_str(), 0755);
  EXPECT_EQ(0, runTool(kProfile, {dir + "/bs\\", kernel}).status);
  EXPECT_EQ((std::map<std::string, std::string>{{"KERNEL32.def", kernelProfile}}), folderContents(dir + "/bs\\"));
  const ToolRun noFolder = runTool(kProfile, {dir + "/none", kernel});
  EXPECT_EQ(says(dir + "/none/KERNEL32.def", "can't be written"), noFolder.err);
  EXPECT_EQ(2, noFolder.status);
}

// Memory follows what is read: a DLL of 100,000 names, written within its
// size and 2 MiB of address space when its names are laid out and sorted as
// linkers write them, and within 20 bytes more for each name and 8 for each
// entry of its address table when they are not; every entry pointed at one
// name of 1 MiB, which is read once.
TEST(Profile, MemoryFollowsTheNamesRead) {
#if !defined(ZYMRAN_STATIC_PROGRAMS)
  GTEST_SKIP() << "a program linked with shared libraries maps them into its address space too";
#endif
  if (kSanitized) GTEST_SKIP() << "the sanitizers reserve address space of their own";
  const uint32_t count = 100000;
  ImagePlan plan;
  plan.dll = true;
  for (uint32_t i = 0; i < count; ++i) {
    const std::string digits = std::to_string(1000000 + i);
    plan.exports.push_back({"?Function" + digits + "@Module@@QAEXPAVItem@@Z", ""});
  }
  const BuiltImage built = buildImage(plan);
  // The first two names' bytes swapped: laid out, but not sorted.
  std::vector<uint8_t> textsSwapped = built.bytes;
  const uint32_t first = get32(built.bytes, nameTable(built)) - built.exportAddress + built.exportRawOffset;
  const uint32_t second = get32(built.bytes, nameTable(built) + 4) - built.exportAddress + built.exportRawOffset;
  std::swap_ranges(textsSwapped.begin() + first, textsSwapped.begin() + second, textsSwapped.begin() + second);
  const std::string longName(1u << 20, 'A');
  std::vector<uint8_t> oneName = built.bytes;
  std::copy(longName.begin(), longName.end() + 1, oneName.begin() + first);
  for (uint32_t i = 1; i < count; ++i) put32(oneName, nameTable(built) + 4 * i, get32(built.bytes, nameTable(built)));
  const struct {
    const char* title;
    std::vector<uint8_t> bytes;
    uint64_t extra;
    std::string firstName;
    size_t lines;  // the names, or each ordinal up to 65,535 once
  } cases[] = {
      {"laid out and sorted", built.bytes, 0, "?Function1000000@Module@@QAEXPAVItem@@Z @1\n", count},
      {"laid out, not sorted", textsSwapped, 28 * count, "?Function1000001@Module@@QAEXPAVItem@@Z @1\n", count},
      {"out of order in the table", firstNamesSwapped(built, count), 28 * count,
       "?Function1000001@Module@@QAEXPAVItem@@Z @2\n", count},
      {"one name pointed at by every entry", oneName, 28 * count, longName + " @1\n", 65535},
  };
  const std::string dir = tempDir() + "/memory";
  mkdir(dir.c_str(), 0755);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string dll = writeTempFile("memory/NAMES.DLL", c.bytes);
    Options options;
    options.addressSpace = c.bytes.size() + (2u << 20) + c.extra;
    options.timeoutSeconds = 10;
    const ToolRun run = runTool(kProfile, {dir, dll}, options);
    EXPECT_EQ("", run.err);
    ASSERT_EQ(0, run.status);
    const std::string profile = folderContents(dir)["NAMES.def"];
    EXPECT_EQ("LIBRARY NAMES.DLL\nEXPORTS\n" + c.firstName, profile.substr(0, profile.find('\n', 26) + 1));
    EXPECT_EQ(c.lines + 2, static_cast<size_t>(std::count(profile.begin(), profile.end(), '\n')));
  }
}

// A profile is rewritten only when its bytes change; a temporary file left by
// a killed run of the same process id neither blocks a run nor stays behind.
TEST(Profile, RewrittenOnlyWhenItsBytesChange) {
  const std::string out = tempDir() + "/rewrite";
  mkdir(out.c_str(), 0755);
  ImagePlan plan;
  plan.dll = true;
  plan.exports = {{"Alpha", ""}};
  const std::string before = writeTempFile("KERNEL32.DLL", buildImage(plan).bytes);
  plan.exports.push_back({"Beta", ""});
  const std::string after = writeTempFile("rewrite/KERNEL32.DLL", buildImage(plan).bytes);
  const std::string alpha = "LIBRARY KERNEL32.DLL\nEXPORTS\nAlpha @1\n";
  const struct {
    std::string dll;
    const char* leftover;  // written by the shell that becomes zymran-profile
    std::string text;
    bool kept;  // the file untouched, its date included
  } cases[] = {{before, "", alpha, false},
               {before, "", alpha, true},
               {before, "echo stale > \"$1/KERNEL32.def.$$.tmp\"; ", alpha, true},
               {after, "echo stale > \"$1/KERNEL32.def.$$.tmp\"; ", alpha + "Beta @2\n", false}};
  const utimbuf dated = {1000000000, 1000000000};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.leftover + c.text);
    utime((out + "/KERNEL32.def").c_str(), &dated);
    const ToolRun run = runCommand(
        {"/bin/sh", "-c", c.leftover + std::string("exec \"$0\" \"$@\""), kProfile, out, c.dll});
    EXPECT_EQ("", run.err);
    EXPECT_EQ(0, run.status);
    std::map<std::string, std::string> files = folderContents(out);
    files.erase("KERNEL32.DLL");
    EXPECT_EQ((std::map<std::string, std::string>{{"KERNEL32.def", c.text}}), files);
    struct stat info;
    ASSERT_EQ(0, stat((out + "/KERNEL32.def").c_str(), &info));
    EXPECT_EQ(c.kept, info.st_mtime == dated.modtime);
  }
}

}  // namespace
