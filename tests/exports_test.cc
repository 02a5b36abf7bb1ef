// The PE layer's readers: the export reader that makes profiles from the
// host's DLLs, and the import reader of the load model.
#include "pe/exports.h"
#include "pe/imports.h"
#include "pe/names.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "image_builder.h"

namespace {

bool addExport(void* context, const Export& entry, Note*) {
  std::string& text = *static_cast<std::string*>(context);
  if (!text.empty()) text += " ";
  text += entry.name != nullptr ? entry.name : "";
  if (entry.hasOrdinal) text += (entry.name != nullptr ? "@" : "#") + std::to_string(entry.ordinal);
  if (entry.forwarder != nullptr) text += std::string(">") + entry.forwarder;
  return true;
}

// What `read` hands to `sink` from the image in `bytes`, as text, or the
// fault.
template <typename Sink>
std::string readText(const std::vector<uint8_t>& bytes, bool (*read)(MappedImage*, Sink, void*, Note*), Sink sink) {
  const Bytes file = {bytes.data(), static_cast<uint32_t>(bytes.size())};
  MappedImage image;
  Note fault;
  std::string text;
  if (!mapImage(bytesSource(&file), &image, &fault)) return std::string("fault: ") + fault.text;
  return read(&image, sink, &text, &fault) ? text : std::string("fault: ") + fault.text;
}

// The exports read, joined by blanks (a name, "@" and its ordinal; "#" and
// the ordinal of an entry without a name; ">" and a forwarder), or the fault.
std::string exportNames(const std::vector<uint8_t>& bytes) { return readText(bytes, readExports, addExport); }

TEST(Exports, Names) {
  struct Case {
    const char* title;
    ImagePlan plan;
    std::string names;
  };
  std::vector<Case> cases;
  const std::string all = "@at@5 HeapAlloc@3>NTDLL.RtlAllocateHeap Zeta@1 with blank@4 #2";
  cases.push_back({"PE32, a forwarder, one by ordinal alone", exportingImagePlan(), all});
  {
    ImagePlan s = exportingImagePlan();
    s.pe32plus = true;
    cases.push_back({"PE32+", s, all});
  }
  {
    ImagePlan s = exportingImagePlan();
    s.dataDirectories = 0;
    cases.push_back({"no data directories", s, ""});
  }
  {
    ImagePlan s = exportingImagePlan();
    s.exports = {{"", ""}, {"", ""}};
    cases.push_back({"by ordinal alone", s, "#1 #2"});
  }
  cases.push_back({"no exports", sampleImagePlan(), ""});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(c.names, exportNames(buildImage(c.plan).bytes));
  }
}

// Damaged export data gives one fault; sections are read as the loader maps
// them, and each name is read once.
TEST(Exports, PatchedImages) {
  const BuiltImage base = buildImage(exportingImagePlan());
  const uint32_t directory = base.exportRawOffset;
  const uint32_t names = directory + 40 + 4 * 5;  // behind the address table
  struct Case {
    const char* title;
    std::vector<uint8_t> bytes;
    std::string fault;
  };
  std::vector<Case> cases;
  auto patched = [&](const char* title, size_t offset, uint32_t value, const std::string& fault) {
    std::vector<uint8_t> b = base.bytes;
    put32(b, offset, value);
    cases.push_back({title, b, fault});
  };
  cases.push_back({"empty", {}, "fault: not a PE image: no DOS header"});
  patched("no PE signature", base.peOffset, 0x4551, "fault: not a PE image: no PE header at file offset 0x00000080");
  patched("PE header past the end", 0x3C, 0xFFFFFFF0, "fault: not a PE image: no PE header at file offset 0xFFFFFFF0");
  patched("ROM magic", base.peOffset + 0x18, 0x0107,
          "fault: not a PE32 or PE32+ image: optional header magic 0x00000107");
  patched("section table past the end", base.peOffset + kPeNumberOfSections, 0xFFFF,
          "fault: section table at file offset 0x00000178 (65535 entries) runs past the end of the file");
  patched("export directory outside", base.peOffset + 0x78, 0x00900000,
          "fault: export directory at address 0x00900000 lies outside the file's data");
  patched("name table outside", directory + kExportAddressOfNames, 0x00900000,
          "fault: export name table at address 0x00900000 (4 entries) lies outside the file's data");
  patched("name count that overflows", directory + kExportNumberOfNames, 0xFFFFFFFF,
          "fault: export name table at address 0x0000303C (4294967295 entries) lies outside the file's data");
  patched("a name outside", names + 4, 0x7FFFFFFF,
          "fault: export name at address 0x7FFFFFFF lies outside the file's data");
  {
    // The last name runs to the end of the section without its terminator.
    std::vector<uint8_t> b = base.bytes;
    const uint32_t last = get32(b, names + 12) - base.exportAddress + directory;
    for (size_t i = last; i < b.size(); ++i) b[i] = 'z';
    cases.push_back({"a name without its NUL", b,
                     "fault: export name at address 0x00003090 runs past the end of its section"});
  }
  // Sections read as the loader maps them; names made distinct.
  const std::string all = "@at@5 HeapAlloc@3>NTDLL.RtlAllocateHeap Zeta@1 with blank@4 #2";
  const std::pair<ExportCraft, Case> crafted[] = {
      {ExportCraft::RawPastVirtualSize, {"raw data past the virtual size", {}, all}},
      {ExportCraft::UnalignedRawData, {"raw data at an unaligned offset", {}, all}},
      {ExportCraft::NameInTail,
       {"a name in the zero-filled tail", {}, "fault: export name at address 0x00003078 lies outside the file's data"}},
      {ExportCraft::OneNameThreeTimes,
       {"one name pointed at three times", {}, "@at@5 with blank@4 #1 #2 #3>NTDLL.RtlAllocateHeap"}},
      {ExportCraft::NamesShareBytes,
       {"names that share bytes", {},
        "fault: export name at address 0x00003079 shares its bytes with the export name at address 0x00003078"}},
      {ExportCraft::OverlappingSections,
       {"sections that overlap", {},
        "fault: section table entry 2 at address 0x00003000 lies inside the addresses of entry 1"}},
  };
  for (const auto& c : crafted) cases.push_back({c.second.title, craftExports(c.first), c.second.fault});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(c.fault, exportNames(c.bytes));
  }
}

// Every prefix of a DLL gives either all its names or a fault, and the names
// only once the whole export data is there.
TEST(Exports, TruncatedAtEveryLength) {
  const std::vector<uint8_t> whole = buildImage(exportingImagePlan()).bytes;
  const std::string all = exportNames(whole);
  ASSERT_EQ("@at@5 HeapAlloc@3>NTDLL.RtlAllocateHeap Zeta@1 with blank@4 #2", all);
  size_t firstComplete = whole.size();
  for (size_t length = whole.size(); length > 0; --length) {
    const std::string got = exportNames(std::vector<uint8_t>(whole.begin(), whole.begin() + long(length)));
    if (got == all) firstComplete = length;
    else ASSERT_EQ(0u, got.rfind("fault: ", 0)) << length << ": " << got;
  }
  EXPECT_GT(firstComplete, buildImage(exportingImagePlan()).exportRawOffset);
}

bool addImport(void* context, const Import& entry, Note*) {
  std::string& text = *static_cast<std::string*>(context);
  if (!entry.isFunction)
    text += (text.empty() ? "" : " ") + std::string(entry.module) + (entry.delayed ? " (delayed):" : ":");
  else
    text += " " + (entry.function != nullptr ? std::string(entry.function) : "#" + std::to_string(entry.ordinal));
  return true;
}

// The imports read: each module's name and a colon, then its functions (a
// name, or "#" and an ordinal), or the fault.
std::string importNames(const std::vector<uint8_t>& bytes) { return readText(bytes, readImports, addImport); }

// Where the descriptors end, and import data that the reader refuses.
TEST(Imports, Descriptors) {
  ImagePlan plan = sampleImagePlan();
  plan.modules[3].delayed = true;
  const BuiltImage base = buildImage(plan);
  const uint32_t raw = base.importRawOffset;
  const uint32_t user32 = raw + kDescriptorSize;  // the second descriptor
  const uint32_t delayAddress = get32(base.bytes, base.peOffset + kPe32DirectoryCount + 4 + 8 * kDelayImportDirectory);
  const uint32_t comctl32 = delayAddress - base.importAddress + raw;
  const std::string kernel32 = "KERNEL32.dll: GetVersion GetStartupInfoA GetCommandLineA SetUnhandledExceptionFilter ExitProcess";
  const std::string delayed = " COMCTL32.dll (delayed): #17";
  const std::string all = kernel32 + " USER32.dll: MessageBoxA DrawTextA GDI32.dll: TextOutA" + delayed;
  struct Case {
    const char* title;
    std::vector<std::pair<uint32_t, uint32_t>> patches;  // 32-bit values at file offsets
    std::string imports;
  };
  const Case cases[] = {
      {"every module, one delay-loaded", {}, all},
      {"a name with neither list ends the descriptors",
       {{user32 + kDescriptorLookupList, 0}, {user32 + kDescriptorAddressList, 0}}, kernel32 + delayed},
      {"a name without an address list ends them too", {{user32 + kDescriptorAddressList, 0}}, kernel32 + delayed},
      {"a delay-load descriptor without an address list is read", {{comctl32 + kDelayAddressList, 0}}, all},
      {"two descriptors share one lookup list",
       {{user32 + kDescriptorLookupList, get32(base.bytes, raw + kDescriptorLookupList)}},
       "fault: lookup list at address 0x00002094 of the import descriptor at address 0x00002014 shares its "
       "entries with the lookup list at address 0x00002094 of the import descriptor at address 0x00002000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    std::vector<uint8_t> b = base.bytes;
    for (const auto& patch : c.patches) put32(b, patch.first, patch.second);
    EXPECT_EQ(c.imports, importNames(b));
  }
}

// A name is read at its address in 64 bits: past the top of the address
// space (behind a hint at 0xFFFFFFFE) there is nothing, not the headers at 0.
TEST(Names, AddressPastTheTopIsOutside) {
  BuiltImage built = buildImage(sampleImagePlan());
  put32(built.bytes, built.importEntryOffset - kSectionEntrySize + kSectionVirtualAddress, 0xFFFFFE00);
  const Bytes file = {built.bytes.data(), static_cast<uint32_t>(built.bytes.size())};
  MappedImage image;
  Note fault;
  ASSERT_TRUE(mapImage(bytesSource(&file), &image, &fault)) << fault.text;
  const uint64_t hint = 0xFFFFFFFE;
  ASSERT_EQ(2u, mappedBytes(&image, hint).size);
  NameRef name;
  EXPECT_FALSE(readNameAt(&image, hint + 2, "function name", &name, &fault));
  EXPECT_STREQ("function name at address 0x100000000 lies outside the file's data", fault.text);
}

// Sections whose file bytes overlap are read whole, in either order: each
// file byte is read once, so that what is read never exceeds the file.
TEST(Mapped, SectionsOverSharedBytes) {
  BuiltImage built = buildImage(sampleImagePlan());
  const uint32_t text = built.importEntryOffset - kSectionEntrySize;  // the first section, before .idata
  const uint32_t fileSize = static_cast<uint32_t>(built.bytes.size());
  put32(built.bytes, text + kSectionPointerToRawData, 0);
  put32(built.bytes, text + kSectionSizeOfRawData, fileSize);
  put32(built.bytes, text + kSectionVirtualSize, fileSize);
  const Bytes file = {built.bytes.data(), fileSize};
  const uint32_t textAddress = get32(built.bytes, text + kSectionVirtualAddress);
  const uint32_t importBytes = get32(built.bytes, built.importEntryOffset + kSectionVirtualSize);
  const struct {
    const char* title;
    uint32_t first;
    uint32_t second;
  } orders[] = {{"the whole file first", textAddress, built.importAddress},
                {"the import section first", built.importAddress, textAddress}};
  for (const auto& order : orders) {
    SCOPED_TRACE(order.title);
    MappedImage image;
    Note fault;
    ASSERT_TRUE(mapImage(bytesSource(&file), &image, &fault)) << fault.text;
    mappedBytes(&image, order.first);
    mappedBytes(&image, order.second);
    EXPECT_EQ(fileSize, mappedBytes(&image, textAddress).size);
    EXPECT_EQ(importBytes, mappedBytes(&image, built.importAddress).size);
    EXPECT_EQ(0, memcmp(mappedBytes(&image, built.importAddress).data, built.bytes.data() + built.importRawOffset,
                        importBytes));
  }
  EXPECT_EQ(readText(buildImage(sampleImagePlan()).bytes, readImports, addImport),
            readText(built.bytes, readImports, addImport));
}

}  // namespace
