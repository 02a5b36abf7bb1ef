// The PE layer's readers: the export reader that makes profiles from the
// host's DLLs, and the import reader of the load model.
#include "pe/exports.h"
#include "pe/imports.h"
#include "pe/names.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
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
  {
    // Names in the table's order, not the bytes': the first two entries swapped.
    std::vector<uint8_t> b = base.bytes;
    const uint32_t ordinals = names + 16;
    put32(b, names, get32(base.bytes, names + 4));
    put32(b, names + 4, get32(base.bytes, names));
    put16(b, ordinals, static_cast<uint16_t>(get32(base.bytes, ordinals) >> 16));
    put16(b, ordinals + 2, static_cast<uint16_t>(get32(base.bytes, ordinals)));
    cases.push_back(
        {"the name table out of order", b, "HeapAlloc@3>NTDLL.RtlAllocateHeap @at@5 Zeta@1 with blank@4 #2"});
    // One text at two places: the last name written over as the second.
    b = base.bytes;
    const char again[] = "HeapAlloc";
    std::copy(again, again + sizeof again, b.begin() + directory + 0x90);
    cases.push_back({"one name at two places", b, "@at@5 HeapAlloc@3>NTDLL.RtlAllocateHeap Zeta@1 #2 #4"});
  }
  patched("a forwarder inside a name", directory + 40 + 8, 0x3089,
          "fault: export forwarder at address 0x00003089 shares its bytes with the export name at address 0x00003088");
  patched("a name inside a forwarder", names + 12, 0x3066,
          "fault: export name at address 0x00003066 shares its bytes with the export forwarder at address 0x00003060");
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
  const uint32_t kernel32Name = get32(base.bytes, raw + kDescriptorName);
  const uint32_t user32Name = get32(base.bytes, user32 + kDescriptorName);
  const uint32_t firstEntry = get32(base.bytes, raw + kDescriptorLookupList) - base.importAddress + raw;
  char inside[160];
  snprintf(inside, sizeof inside,
           "fault: function name at address 0x%08X shares its bytes with the module name at address 0x%08X",
           user32Name + 1, user32Name);
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
      {"one module name for two descriptors", {{user32 + kDescriptorName, kernel32Name}},
       kernel32 + " KERNEL32.dll: MessageBoxA DrawTextA GDI32.dll: TextOutA" + delayed},
      {"a function name inside a module name", {{firstEntry, user32Name - 1}}, inside},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    std::vector<uint8_t> b = base.bytes;
    for (const auto& patch : c.patches) put32(b, patch.first, patch.second);
    EXPECT_EQ(c.imports, importNames(b));
  }
}

// Names laid out in one buffer ('|' stands for a NUL): each position the
// offset of its name, or -1 for none. The first `texts` are names, the rest
// forwarders.
struct Layout {
  std::string bytes;
  std::vector<int> at;
  uint32_t texts;
};

bool readLaidOut(void* context, uint32_t i, NameRef* name, Note*) {
  const Layout& l = *static_cast<const Layout*>(context);
  if (l.at[i] < 0) {
    name->text = nullptr;
    return true;
  }
  const char* text = l.bytes.data() + l.at[i];
  *name = {text, static_cast<uint32_t>(strlen(text)), 0x1000u + static_cast<uint32_t>(l.at[i]),
           i < l.texts ? "name" : "forwarder"};
  return true;
}

const char* laidOutText(void* context, uint32_t i) {
  const Layout& l = *static_cast<const Layout*>(context);
  return l.at[i] < 0 ? nullptr : l.bytes.data() + l.at[i];
}

// The ids that internNames gives the names, joined by blanks, and " sorted"
// when it found them in the order of their bytes; or the fault.
std::string intern(Layout layout) {
  std::replace(layout.bytes.begin(), layout.bytes.end(), '|', '\0');
  const NameList list = {&layout, static_cast<uint32_t>(layout.at.size()), readLaidOut, laidOutText};
  NameIds ids;
  Note fault;
  if (!internNames(list, layout.texts, &ids, &fault)) return std::string("fault: ") + fault.text;
  std::string text;
  uint32_t distinct = 0;
  for (uint32_t i = 0; i < layout.texts; ++i) {
    text += (i == 0 ? "" : " ") + std::to_string(ids.id(i));
    distinct = std::max(distinct, ids.id(i) + 1);
  }
  if (distinct != ids.distinct) return "distinct " + std::to_string(ids.distinct) + ": " + text;
  return text + (ids.inTextOrder ? " sorted" : "");
}

// Names in each order they are laid out in: one pass when laid out in order,
// the stretches checked apart, or every name by place; and names that share
// bytes, refused with the first pair by place.
TEST(Names, Layouts) {
  const std::string inside = "fault: name at address 0x00001001 shares its bytes with the name at address 0x00001000";
  const struct {
    const char* title;
    Layout layout;
    std::string ids;
  } cases[] = {
      {"laid out and sorted", {"a|b|c|", {0, 2, 4}, 3}, "0 1 2 sorted"},
      {"one name pointed at twice", {"a|b|", {0, 0, 2}, 3}, "0 0 1 sorted"},
      {"one text at two places", {"a|a|b|", {0, 2, 4}, 3}, "0 0 1 sorted"},
      {"laid out, not sorted", {"b|a|b|", {0, 2, 4}, 3}, "0 1 0"},
      {"sorted, laid out backwards", {"c|b|a|", {4, 2, 0}, 3}, "0 1 2"},
      {"one place met again after another", {"x|a|", {0, 2, 0}, 3}, "0 1 0"},
      {"forwarders laid out before the names", {"F.x|a|b|", {4, 6, 0}, 2}, "0 1 sorted"},
      {"a forwarder among the names", {"a|F.x|b|", {0, 6, 2}, 2}, "0 1 sorted"},
      {"positions without a name", {"a|F.x|", {0, -1, 2, -1}, 1}, "0 sorted"},
      {"a name and a forwarder at one place", {"a.b|", {0, 0}, 1}, "0 sorted"},
      {"a name inside another", {"abc|", {0, 1}, 2}, inside},
      {"a name at the NUL of another", {"ab|c|", {0, 2}, 2},
       "fault: name at address 0x00001002 shares its bytes with the name at address 0x00001000"},
      {"a forwarder inside a name", {"abc|", {0, 1}, 1},
       "fault: forwarder at address 0x00001001 shares its bytes with the name at address 0x00001000"},
      {"two stretches apart: the first in memory", {"ab|xyz|", {3, 4, 0, 1}, 4}, inside},
      {"two stretches among each other", {"abc|x|", {0, 4, 1}, 2},
       "fault: forwarder at address 0x00001001 shares its bytes with the name at address 0x00001000"},
      {"stretches among each other: the first by place", {"ab|cd|ef|", {6, 0, 3, 1}, 4}, inside},
      {"by place: the first of a place is named", {"abc|", {1, 0, 0}, 2}, inside},
      {"not sorted, a forwarder among the names", {"b|F.x|a|", {0, 6, 2}, 2}, "0 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(c.ids, intern(c.layout));
  }
}

// Whatever the layout, equal names get equal ids, counted in the order the
// names first appear: a table of names against a count kept in a map, with
// names that share a place, equal names at several places, and names whose
// hashes crowd one stretch of the numbering table.
TEST(Names, IdsCountFirstAppearances) {
  std::mt19937 random(11);
  std::vector<std::string> words;
  for (int i = 0; i < 40; ++i) words.push_back("w" + std::to_string(i * 7919 % 1000));
  std::vector<std::string> crowded;  // 80 names, their hashes in one slot of any table up to 4,096
  for (int i = 0; crowded.size() < 80; ++i)
    if ((nameHash(("c" + std::to_string(i)).c_str()) & 0xFFF) == 0x5A) crowded.push_back("c" + std::to_string(i));
  enum Order { Sorted, AsListed, Backwards, TwoStretches, Scattered };
  const struct {
    const char* title;
    const std::vector<std::string>* pool;
    Order order;
  } cases[] = {{"laid out and sorted", &words, Sorted},      {"laid out, not sorted", &words, AsListed},
               {"laid out backwards", &words, Backwards},    {"two stretches", &words, TwoStretches},
               {"scattered", &words, Scattered},             {"crowding the table", &crowded, AsListed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    // Places, each a text; positions, each a place: some places twice in a
    // row, some texts at several places.
    std::vector<std::string> placeText;
    for (size_t k = 0; k < 150; ++k) placeText.push_back((*c.pool)[random() % c.pool->size()]);
    if (c.order == Sorted) std::sort(placeText.begin(), placeText.end());
    std::vector<size_t> placeOf;
    for (size_t k = 0; k < placeText.size(); ++k)
      for (unsigned n = random() % 4 == 0 ? 2 : 1; n > 0; --n) placeOf.push_back(k);
    // Where each place stands in memory.
    std::vector<size_t> memory(placeText.size());
    std::iota(memory.begin(), memory.end(), 0);
    if (c.order == Backwards) std::reverse(memory.begin(), memory.end());
    if (c.order == TwoStretches) std::rotate(memory.begin(), memory.begin() + 60, memory.end());
    if (c.order == Scattered) std::shuffle(memory.begin(), memory.end(), random);
    Layout layout;
    std::vector<int> offset(placeText.size());
    for (const size_t k : memory) {
      offset[k] = static_cast<int>(layout.bytes.size());
      layout.bytes += placeText[k] + "|";
    }
    std::map<std::string, size_t> first;
    std::string expected;
    for (const size_t k : placeOf) {
      layout.at.push_back(offset[k]);
      const size_t id = first.emplace(placeText[k], first.size()).first->second;
      expected += (expected.empty() ? "" : " ") + std::to_string(id);
    }
    layout.texts = static_cast<uint32_t>(layout.at.size());
    EXPECT_EQ(expected + (c.order == Sorted ? " sorted" : ""), intern(layout));
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

// Strings read through the bytes mapped last are those a fresh look finds,
// read up and down a stretch of addresses: where a section's addresses lie
// among the headers', and where a section runs to the top of the address
// space.
TEST(Names, ReaderFindsWhatTheMapFinds) {
  const BuiltImage sample = buildImage(sampleImagePlan());
  const uint32_t text = sample.importEntryOffset - kSectionEntrySize;  // the first section, before .idata
  std::vector<uint8_t> inHeaders = sample.bytes;
  put32(inHeaders, sample.peOffset + kPeSizeOfHeaders, 0x800);
  put32(inHeaders, text + kSectionVirtualAddress, 0x400);
  put32(inHeaders, text + kSectionVirtualSize, 0x200);
  std::vector<uint8_t> atTop = sample.bytes;
  put32(atTop, text + kSectionVirtualAddress, 0xFFFFFE00);
  put32(atTop, text + kSectionVirtualSize, 0x200);
  const struct {
    const char* title;
    const std::vector<uint8_t>* bytes;
    uint64_t low;
    uint64_t high;
  } cases[] = {{"a section among the headers", &inHeaders, 0x300, 0x700},
               {"a section at the top", &atTop, 0xFFFFFD00, 0x100000002}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    const Bytes file = {c.bytes->data(), static_cast<uint32_t>(c.bytes->size())};
    MappedImage image;
    Note fault;
    ASSERT_TRUE(mapImage(bytesSource(&file), &image, &fault)) << fault.text;
    NameReader reader = nameReader(&image);
    for (int pass = 0; pass < 2; ++pass) {
      for (uint64_t k = 0; k <= c.high - c.low; ++k) {
        const uint64_t address = pass == 0 ? c.low + k : c.high - k;
        NameRef through = {nullptr, 0, 0, nullptr};
        NameRef fresh = {nullptr, 0, 0, nullptr};
        Note throughFault;
        Note freshFault;
        const bool read = readName(&reader, address, "name", &through, &throughFault);
        ASSERT_EQ(readNameAt(&image, address, "name", &fresh, &freshFault), read) << address;
        ASSERT_EQ(fresh.text, through.text) << address;
        ASSERT_EQ(fresh.length, through.length) << address;
        ASSERT_EQ(std::string(freshFault.text, freshFault.used), std::string(throughFault.text, throughFault.used))
            << address;
      }
    }
  }
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
