#include "image_builder.h"

#include <algorithm>

namespace {

const uint32_t kPeOffset = 0x80;
const uint32_t kFileAlignment = 0x200;
const uint32_t kSectionAlignment = 0x1000;

uint32_t alignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void putName(std::vector<uint8_t>& bytes, size_t offset, const std::string& name) {
  for (size_t i = 0; i < 8 && i < name.size(); ++i) bytes[offset + i] = static_cast<uint8_t>(name[i]);
}

// The import section's data for `modules`, placed at `address`. Sets
// `*descriptors` to the offset of the descriptor array and `*delayDescriptors`
// to that of the delay-load descriptors (0 when no module is delay-loaded).
std::vector<uint8_t> importData(const std::vector<ImportedModule>& modules, uint32_t address,
                                bool addressListsFirst, uint32_t* descriptors, uint32_t* delayDescriptors) {
  std::vector<uint8_t> data;
  auto reserve = [&](size_t size) {
    const size_t at = data.size();
    data.resize(at + size);
    return static_cast<uint32_t>(at);
  };
  std::vector<uint32_t> lookup, addresses;
  auto reserveLists = [&](std::vector<uint32_t>& lists) {
    for (const ImportedModule& m : modules) lists.push_back(reserve((m.functions.size() + 1) * 4));
  };
  const size_t nDelayed = static_cast<size_t>(
      std::count_if(modules.begin(), modules.end(), [](const ImportedModule& m) { return m.delayed; }));
  if (addressListsFirst) reserveLists(addresses);
  *descriptors = reserve((modules.size() - nDelayed + 1) * kDescriptorSize);
  *delayDescriptors = nDelayed == 0 ? 0 : reserve((nDelayed + 1) * kDelayDescriptorSize);
  const uint32_t handles = nDelayed == 0 ? 0 : reserve(nDelayed * 4);
  reserveLists(lookup);
  if (!addressListsFirst) reserveLists(addresses);
  for (size_t i = 0; i < modules.size(); ++i) {
    const ImportedModule& m = modules[i];
    for (size_t k = 0; k < m.functions.size(); ++k) {
      const ImportedFunction& f = m.functions[k];
      uint32_t entry;
      if (f.name.empty()) {
        entry = kOrdinalFlag | f.ordinal;
      } else {
        const uint32_t at = reserve((2 + f.name.size() + 1 + 1) & ~size_t(1));
        put16(data, at, static_cast<uint16_t>(k));
        for (size_t c = 0; c < f.name.size(); ++c) data[at + 2 + c] = static_cast<uint8_t>(f.name[c]);
        entry = address + at;
      }
      put32(data, lookup[i] + 4 * k, entry);
      put32(data, addresses[i] + 4 * k, entry);
    }
  }
  size_t ordinary = 0, delayed = 0;
  for (size_t i = 0; i < modules.size(); ++i) {
    const ImportedModule& m = modules[i];
    const uint32_t at = reserve(m.name.size() + 1);
    for (size_t c = 0; c < m.name.size(); ++c) data[at + c] = static_cast<uint8_t>(m.name[c]);
    if (m.delayed) {
      // Attributes 1: the addresses are relative ones.
      const size_t d = *delayDescriptors + delayed * kDelayDescriptorSize;
      put32(data, d + kDelayAttributes, 1);
      put32(data, d + kDelayName, address + at);
      put32(data, d + kDelayModuleHandle, address + handles + static_cast<uint32_t>(4 * delayed++));
      put32(data, d + kDelayAddressList, address + addresses[i]);
      put32(data, d + kDelayLookupList, address + lookup[i]);
      continue;
    }
    const size_t d = *descriptors + ordinary++ * kDescriptorSize;
    put32(data, d + kDescriptorLookupList, m.lookupThroughFirstThunk ? 0 : address + lookup[i]);
    put32(data, d + kDescriptorName, address + at);
    put32(data, d + kDescriptorAddressList, address + addresses[i]);
  }
  return data;
}

// The export section's data, placed at `address`: the directory, the address
// table, the sorted name table, the ordinal table, then the strings. Exports
// that are not forwarded point into the code at `code`, 16 bytes apart within
// the first section's raw size.
std::vector<uint8_t> exportData(const ImagePlan& plan, uint32_t address, uint32_t code) {
  const std::vector<ExportedFunction>& exports = plan.exports;
  std::vector<size_t> named;
  for (size_t i = 0; i < exports.size(); ++i)
    if (!exports[i].name.empty()) named.push_back(i);
  std::sort(named.begin(), named.end(),
            [&](size_t a, size_t b) { return exports[a].name < exports[b].name; });
  std::vector<uint8_t> data(kExportDirectorySize);
  auto reserve = [&](size_t size) {
    const size_t at = data.size();
    data.resize(at + ((size + 3) & ~size_t(3)));
    return static_cast<uint32_t>(at);
  };
  auto string = [&](const std::string& text) {
    const uint32_t at = reserve(text.size() + 1);
    for (size_t c = 0; c < text.size(); ++c) data[at + c] = static_cast<uint8_t>(text[c]);
    return address + at;
  };
  const uint32_t functions = reserve(exports.size() * 4);
  const uint32_t names = reserve(named.size() * 4);
  const uint32_t ordinals = reserve(named.size() * 2);
  put32(data, kExportName, string(plan.exportModuleName));
  put32(data, kExportOrdinalBase, 1);
  put32(data, kExportNumberOfFunctions, static_cast<uint32_t>(exports.size()));
  put32(data, kExportNumberOfNames, static_cast<uint32_t>(named.size()));
  put32(data, kExportAddressOfFunctions, address + functions);
  put32(data, kExportAddressOfNames, address + names);
  put32(data, kExportAddressOfNameOrdinals, address + ordinals);
  for (size_t i = 0; i < exports.size(); ++i) {
    const std::string& forwarder = exports[i].forwarder;
    const uint32_t entry =
        code + static_cast<uint32_t>(plan.sectionBeforeSize == 0 ? 0 : 16 * i % plan.sectionBeforeSize);
    put32(data, functions + 4 * i, forwarder.empty() ? static_cast<uint32_t>(entry) : string(forwarder));
  }
  for (size_t k = 0; k < named.size(); ++k) {
    put32(data, names + 4 * k, string(exports[named[k]].name));
    put16(data, ordinals + 2 * k, static_cast<uint16_t>(named[k]));
  }
  return data;
}

}  // namespace

ImportedFunction byOrdinal(uint32_t ordinal) {
  ImportedFunction f;
  f.ordinal = ordinal;
  return f;
}

void put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value) {
  bytes[offset] = static_cast<uint8_t>(value);
  bytes[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 4; i > 0; --i) value = (value << 8) | bytes[offset + i - 1];
  return value;
}

namespace {

// Where everything of an image goes.
struct Layout {
  uint32_t nBefore;        // sections before the import section
  uint32_t nSections;
  uint32_t optionalSize;
  uint32_t tableOffset;    // of the section table
  uint32_t headersSize;
  uint32_t pagesBefore;    // pages of each section before the import section
  uint32_t descriptors;    // offsets in the import data
  uint32_t delayDescriptors;
  uint32_t nDelayed;
  uint32_t importAddress;
  uint32_t importRaw;
  uint32_t importSize;
  uint32_t exportAddress;
  uint32_t exportRaw;
  uint32_t exportSize;
  uint32_t imageSize;
  std::vector<uint8_t> imports;
  std::vector<uint8_t> exports;
};

Layout layOut(const ImagePlan& plan) {
  Layout l;
  const bool exporting = !plan.exports.empty();
  l.nBefore = static_cast<uint32_t>(plan.sectionsBefore.size());
  l.nSections = l.nBefore + 1 + (exporting ? 1 : 0);
  l.optionalSize = (plan.pe32plus ? 112 : 96) + 8 * plan.dataDirectories;
  l.tableOffset = kPeOffset + kFileHeaderEnd + l.optionalSize;
  l.headersSize = alignUp(l.tableOffset + kSectionEntrySize * l.nSections, kFileAlignment);
  l.pagesBefore = alignUp(plan.sectionBeforeSize, kSectionAlignment) / kSectionAlignment;
  l.importAddress = kSectionAlignment * (1 + l.pagesBefore * l.nBefore);
  l.imports = importData(plan.modules, l.importAddress, plan.addressListsFirst, &l.descriptors, &l.delayDescriptors);
  l.nDelayed = static_cast<uint32_t>(std::count_if(plan.modules.begin(), plan.modules.end(),
                                                   [](const ImportedModule& m) { return m.delayed; }));
  l.importSize = alignUp(static_cast<uint32_t>(l.imports.size()), kFileAlignment);
  l.importRaw = l.headersSize + plan.sectionBeforeSize * l.nBefore;
  l.exportAddress = l.importAddress + alignUp(static_cast<uint32_t>(l.imports.size()), kSectionAlignment);
  if (exporting) l.exports = exportData(plan, l.exportAddress, kSectionAlignment);
  l.exportRaw = l.importRaw + l.importSize;
  l.exportSize = alignUp(static_cast<uint32_t>(l.exports.size()), kFileAlignment);
  l.imageSize = l.exportAddress + alignUp(static_cast<uint32_t>(l.exports.size()), kSectionAlignment);
  return l;
}

void writeDosHeader(std::vector<uint8_t>& b) {
  put16(b, kDosMagic, kDosMagicValue);
  put16(b, 0x02, 0x90);
  put16(b, 0x04, 3);
  put16(b, 0x08, 4);
  put16(b, 0x0C, 0xFFFF);
  put16(b, 0x10, 0xB8);
  put16(b, kDosRelocationTable, 0x40);
  put32(b, kDosPeOffset, kPeOffset);
}

// The PE signature, the file header and the optional header but for its
// data directories. PE32+ widens the image base and the four stack and heap
// sizes to eight bytes, which moves the directories 16 bytes on.
void writePeHeader(std::vector<uint8_t>& b, const ImagePlan& plan, const Layout& l) {
  const uint32_t pe = kPeOffset;
  put32(b, pe + kPeSignature, kPeSignatureValue);
  put16(b, pe + kPeMachine, plan.pe32plus ? 0x8664 : 0x014C);  // x86-64 or Intel 80386
  put16(b, pe + kPeNumberOfSections, static_cast<uint16_t>(l.nSections));
  put16(b, pe + kPeSizeOfOptionalHeader, static_cast<uint16_t>(l.optionalSize));
  put16(b, pe + kPeCharacteristics,
        static_cast<uint16_t>((plan.dll ? 0x2002 : 0x0002) | (plan.pe32plus ? 0x20 : 0x100)));
  const uint32_t opt = pe + kFileHeaderEnd;
  const uint32_t wide = plan.pe32plus ? 1 : 0;
  put16(b, pe + kPeMagic, plan.pe32plus ? kPe32PlusMagic : kPe32Magic);
  put32(b, opt + 4, plan.sectionBeforeSize * l.nBefore);          // SizeOfCode
  put32(b, opt + 16, l.nBefore > 0 ? kSectionAlignment : 0);      // AddressOfEntryPoint
  put32(b, opt + 20, kSectionAlignment);                          // BaseOfCode
  put32(b, pe + kPeImageBase - 4 * wide, plan.dll ? 0x10000000u : 0x00400000u);
  put32(b, opt + 32, kSectionAlignment);
  put32(b, opt + 36, kFileAlignment);
  put16(b, opt + 40, 4);  // operating system version
  put16(b, opt + 48, 4);  // subsystem version
  put32(b, opt + 56, l.imageSize);
  put32(b, pe + kPeSizeOfHeaders, l.headersSize);
  put16(b, opt + 68, 3);  // console
  for (uint32_t i = 0; i < 4; ++i)  // stack and heap, reserved and committed
    put32(b, opt + 72 + (4 + 4 * wide) * i, i % 2 == 0 ? 0x100000 : 0x1000);
}

void writeDirectories(std::vector<uint8_t>& b, const ImagePlan& plan, const Layout& l) {
  const uint32_t count = kPeOffset + (plan.pe32plus ? kPe32PlusDirectoryCount : kPe32DirectoryCount);
  const uint32_t directories = count + 4;
  put32(b, count, plan.dataDirectories);
  if (!l.exports.empty() && plan.dataDirectories > kExportDirectory) {
    put32(b, directories + 8 * kExportDirectory, l.exportAddress);
    put32(b, directories + 8 * kExportDirectory + 4, static_cast<uint32_t>(l.exports.size()));
  }
  if (plan.dataDirectories > kImportDirectory) {
    put32(b, directories + 8 * kImportDirectory, l.importAddress + l.descriptors);
    put32(b, directories + 8 * kImportDirectory + 4,
          static_cast<uint32_t>((plan.modules.size() - l.nDelayed + 1) * kDescriptorSize));
  }
  if (l.nDelayed > 0 && plan.dataDirectories > kDelayImportDirectory) {
    put32(b, directories + 8 * kDelayImportDirectory, l.importAddress + l.delayDescriptors);
    put32(b, directories + 8 * kDelayImportDirectory + 4, (l.nDelayed + 1) * kDelayDescriptorSize);
  }
}

// Section table entry `index` and the section's bytes; returns the entry's
// file offset.
uint32_t writeSection(std::vector<uint8_t>& b, const Layout& l, uint32_t index, const std::string& name,
                      uint32_t virtualSize, uint32_t address, uint32_t raw, uint32_t rawSize, uint32_t flags) {
  const uint32_t e = l.tableOffset + kSectionEntrySize * index;
  putName(b, e + kSectionName, name);
  put32(b, e + kSectionVirtualSize, virtualSize);
  put32(b, e + kSectionVirtualAddress, address);
  put32(b, e + kSectionSizeOfRawData, rawSize);
  put32(b, e + kSectionPointerToRawData, raw);
  put32(b, e + kSectionCharacteristics, flags);
  return e;
}

const uint32_t kCodeSection = 0x60000020;  // code, execute, read
const uint32_t kDataSection = 0xC0000040;  // initialised data, read, write

// The section table and the sections.
void writeSections(std::vector<uint8_t>& b, const ImagePlan& plan, const Layout& l, BuiltImage* image) {
  const uint32_t rawBefore = plan.sectionBeforeSize;
  for (uint32_t i = 0; i < l.nBefore; ++i) {
    writeSection(b, l, i, plan.sectionsBefore[i], rawBefore, kSectionAlignment * (1 + l.pagesBefore * i),
                 l.headersSize + rawBefore * i, rawBefore, kCodeSection);
    b[l.headersSize + rawBefore * i] = 0xC3;
  }
  image->importEntryOffset = writeSection(b, l, l.nBefore, plan.importSectionName,
                                          static_cast<uint32_t>(l.imports.size()), l.importAddress, l.importRaw,
                                          l.importSize, kDataSection);
  std::copy(l.imports.begin(), l.imports.end(), b.begin() + l.importRaw);
  if (l.exports.empty()) return;
  writeSection(b, l, l.nBefore + 1, ".edata", static_cast<uint32_t>(l.exports.size()), l.exportAddress,
               l.exportRaw, l.exportSize, kDataSection);
  std::copy(l.exports.begin(), l.exports.end(), b.begin() + l.exportRaw);
}

}  // namespace

BuiltImage buildImage(const ImagePlan& plan) {
  const Layout l = layOut(plan);
  BuiltImage image;
  image.bytes.assign(l.exportRaw + l.exportSize, 0);
  writeDosHeader(image.bytes);
  writePeHeader(image.bytes, plan, l);
  writeDirectories(image.bytes, plan, l);
  writeSections(image.bytes, plan, l, &image);
  const bool exporting = !l.exports.empty();
  image.peOffset = kPeOffset;
  image.importRawOffset = l.importRaw;
  image.importAddress = l.importAddress;
  image.importSize = l.importSize;
  image.exportRawOffset = exporting ? l.exportRaw : 0;
  image.exportAddress = exporting ? l.exportAddress : 0;
  image.imageSize = l.imageSize;
  return image;
}

ImagePlan programPlan(std::vector<ImportedModule> modules) {
  ImagePlan plan;
  plan.modules = std::move(modules);
  return plan;
}

ImagePlan dllPlan(const std::string& name, std::vector<ExportedFunction> exports,
                  std::vector<ImportedModule> modules) {
  ImagePlan plan = programPlan(std::move(modules));
  plan.dll = true;
  plan.exportModuleName = name;
  plan.exports = std::move(exports);
  return plan;
}

ImagePlan sampleImagePlan() {
  ImagePlan plan;
  plan.dll = true;
  plan.modules = {
      {"KERNEL32.dll",
       {{"GetVersion"}, {"GetStartupInfoA"}, {"GetCommandLineA"}, {"SetUnhandledExceptionFilter"},
        {"ExitProcess"}}},
      {"USER32.dll", {{"MessageBoxA"}, {"DrawTextA"}}},
      {"GDI32.dll", {{"TextOutA"}}},
      {"COMCTL32.dll", {byOrdinal(17)}},
  };
  return plan;
}

ImagePlan exportingImagePlan() {
  ImagePlan plan = sampleImagePlan();
  plan.exports = {{"Zeta", ""}, {"", ""}, {"HeapAlloc", "NTDLL.RtlAllocateHeap"},
                  {"with blank", ""}, {"@at", ""}};
  return plan;
}

std::vector<uint8_t> craftExports(ExportCraft craft) {
  const BuiltImage base = buildImage(exportingImagePlan());
  std::vector<uint8_t> b = base.bytes;
  const uint32_t idataEntry = base.importEntryOffset;
  const uint32_t edataEntry = idataEntry + kSectionEntrySize;
  const uint32_t directory = base.exportRawOffset;
  const uint32_t names = directory + get32(b, directory + kExportAddressOfNames) - base.exportAddress;
  const uint32_t first = get32(b, names);
  switch (craft) {
    case ExportCraft::RawPastVirtualSize:
      put32(b, idataEntry + kSectionVirtualSize, 0x200);
      put32(b, idataEntry + kSectionSizeOfRawData, 0x1000 + 0x200);
      b.resize(base.importRawOffset + 0x1000 + 0x200, 0);
      std::copy(base.bytes.begin() + directory, base.bytes.begin() + directory + 0x200,
                b.begin() + base.importRawOffset + 0x1000);
      b[base.importRawOffset + 0x1000 + first - base.exportAddress] = 'D';
      break;
    case ExportCraft::UnalignedRawData:
      put32(b, edataEntry + kSectionPointerToRawData, directory + 0x10);
      break;
    case ExportCraft::NameInTail:
      put32(b, edataEntry + kSectionSizeOfRawData, first - base.exportAddress);
      break;
    case ExportCraft::OneNameThreeTimes:
      put32(b, names + 4, first);
      put32(b, names + 8, first);
      break;
    case ExportCraft::NamesShareBytes:
      put32(b, names + 4, first + 1);
      break;
    case ExportCraft::OverlappingSections:
      put32(b, idataEntry + kSectionVirtualSize, base.exportAddress - base.importAddress + 1);
      break;
  }
  return b;
}
