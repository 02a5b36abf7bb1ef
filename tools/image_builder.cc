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
  *descriptors = reserve((modules.size() - nDelayed + 1) * 20);
  *delayDescriptors = nDelayed == 0 ? 0 : reserve((nDelayed + 1) * 32);
  const uint32_t handles = nDelayed == 0 ? 0 : reserve(nDelayed * 4);
  reserveLists(lookup);
  if (!addressListsFirst) reserveLists(addresses);
  for (size_t i = 0; i < modules.size(); ++i) {
    const ImportedModule& m = modules[i];
    for (size_t k = 0; k < m.functions.size(); ++k) {
      const ImportedFunction& f = m.functions[k];
      uint32_t entry;
      if (f.name.empty()) {
        entry = 0x80000000u | f.ordinal;
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
      const size_t d = *delayDescriptors + delayed * 32;
      put32(data, d + 0x00, 1);
      put32(data, d + 0x04, address + at);
      put32(data, d + 0x08, address + handles + static_cast<uint32_t>(4 * delayed++));
      put32(data, d + 0x0C, address + addresses[i]);
      put32(data, d + 0x10, address + lookup[i]);
      continue;
    }
    const size_t d = *descriptors + ordinary++ * 20;
    put32(data, d + 0x00, m.lookupThroughFirstThunk ? 0 : address + lookup[i]);
    put32(data, d + 0x0C, address + at);
    put32(data, d + 0x10, address + addresses[i]);
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
  std::vector<uint8_t> data(40);
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
  put32(data, 0x0C, string(plan.exportModuleName));
  put32(data, 0x10, 1);  // ordinal base
  put32(data, 0x14, static_cast<uint32_t>(exports.size()));
  put32(data, 0x18, static_cast<uint32_t>(named.size()));
  put32(data, 0x1C, address + functions);
  put32(data, 0x20, address + names);
  put32(data, 0x24, address + ordinals);
  for (size_t i = 0; i < exports.size(); ++i) {
    const std::string& forwarder = exports[i].forwarder;
    const uint32_t entry = code + (plan.sectionBeforeSize == 0 ? 0 : 16 * i % plan.sectionBeforeSize);
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
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get32(const std::vector<uint8_t>& bytes, size_t offset) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[offset + i];
  return value;
}

BuiltImage buildImage(const ImagePlan& plan) {
  BuiltImage image;
  const bool exporting = !plan.exports.empty();
  const uint32_t nBefore = static_cast<uint32_t>(plan.sectionsBefore.size());
  const uint32_t nSections = nBefore + 1 + (exporting ? 1 : 0);
  const uint32_t optionalSize = (plan.pe32plus ? 112 : 96) + 8 * plan.dataDirectories;
  const uint32_t tableOffset = kPeOffset + 24 + optionalSize;
  const uint32_t headersSize = alignUp(tableOffset + 40 * nSections, kFileAlignment);

  const uint32_t rawBefore = plan.sectionBeforeSize;
  const uint32_t pagesBefore = alignUp(rawBefore, kSectionAlignment) / kSectionAlignment;
  const uint32_t importAddress = kSectionAlignment * (1 + pagesBefore * nBefore);
  uint32_t descriptors = 0;
  uint32_t delayDescriptors = 0;
  const std::vector<uint8_t> imports =
      importData(plan.modules, importAddress, plan.addressListsFirst, &descriptors, &delayDescriptors);
  const uint32_t nDelayed = static_cast<uint32_t>(std::count_if(
      plan.modules.begin(), plan.modules.end(), [](const ImportedModule& m) { return m.delayed; }));
  const uint32_t importSize = alignUp(static_cast<uint32_t>(imports.size()), kFileAlignment);
  const uint32_t importRaw = headersSize + rawBefore * nBefore;
  const uint32_t exportAddress =
      importAddress + alignUp(static_cast<uint32_t>(imports.size()), kSectionAlignment);
  const std::vector<uint8_t> exports =
      exporting ? exportData(plan, exportAddress, kSectionAlignment) : std::vector<uint8_t>();
  const uint32_t exportRaw = importRaw + importSize;
  const uint32_t exportSize = alignUp(static_cast<uint32_t>(exports.size()), kFileAlignment);
  const uint32_t imageSize =
      exportAddress + alignUp(static_cast<uint32_t>(exports.size()), kSectionAlignment);

  std::vector<uint8_t>& b = image.bytes;
  b.assign(exportRaw + exportSize, 0);

  // DOS header.
  b[0] = 'M';
  b[1] = 'Z';
  put16(b, 0x02, 0x90);
  put16(b, 0x04, 3);
  put16(b, 0x08, 4);
  put16(b, 0x0C, 0xFFFF);
  put16(b, 0x10, 0xB8);
  put16(b, 0x18, 0x40);
  put32(b, 0x3C, kPeOffset);

  // PE signature and file header.
  const uint32_t pe = kPeOffset;
  b[pe] = 'P';
  b[pe + 1] = 'E';
  put16(b, pe + 0x04, plan.pe32plus ? 0x8664 : 0x014C);  // x86-64 or Intel 80386
  put16(b, pe + 0x06, static_cast<uint16_t>(nSections));
  put16(b, pe + 0x14, static_cast<uint16_t>(optionalSize));
  put16(b, pe + 0x16, static_cast<uint16_t>((plan.dll ? 0x2002 : 0x0002) | (plan.pe32plus ? 0x20 : 0x100)));

  // Optional header: PE32+ widens the image base and the four stack and heap
  // sizes to eight bytes, which moves the directories 16 bytes on.
  const uint32_t opt = pe + 24;
  const uint32_t wide = plan.pe32plus ? 1 : 0;
  put16(b, opt + 0, plan.pe32plus ? 0x020B : 0x010B);
  put32(b, opt + 4, rawBefore * nBefore);                    // SizeOfCode
  put32(b, opt + 16, nBefore > 0 ? kSectionAlignment : 0);  // AddressOfEntryPoint
  put32(b, opt + 20, kSectionAlignment);                     // BaseOfCode
  put32(b, opt + 28 - 4 * wide, plan.dll ? 0x10000000u : 0x00400000u);  // ImageBase
  put32(b, opt + 32, kSectionAlignment);
  put32(b, opt + 36, kFileAlignment);
  put16(b, opt + 40, 4);  // operating system version
  put16(b, opt + 48, 4);  // subsystem version
  put32(b, opt + 56, imageSize);
  put32(b, opt + 60, headersSize);
  put16(b, opt + 68, 3);  // console
  for (uint32_t i = 0; i < 4; ++i)  // stack and heap, reserved and committed
    put32(b, opt + 72 + (4 + 4 * wide) * i, i % 2 == 0 ? 0x100000 : 0x1000);
  const uint32_t directories = opt + 96 + 16 * wide;
  put32(b, directories - 4, plan.dataDirectories);
  if (exporting && plan.dataDirectories > 0) {
    put32(b, directories + 0, exportAddress);
    put32(b, directories + 4, static_cast<uint32_t>(exports.size()));
  }
  if (plan.dataDirectories > 1) {
    put32(b, directories + 8, importAddress + descriptors);
    put32(b, directories + 12, static_cast<uint32_t>((plan.modules.size() - nDelayed + 1) * 20));
  }
  if (nDelayed > 0 && plan.dataDirectories > 13) {
    put32(b, directories + 13 * 8, importAddress + delayDescriptors);
    put32(b, directories + 13 * 8 + 4, (nDelayed + 1) * 32);
  }

  // Section table and the sections before the import section.
  for (uint32_t i = 0; i < nBefore; ++i) {
    const uint32_t e = tableOffset + 40 * i;
    putName(b, e, plan.sectionsBefore[i]);
    put32(b, e + 0x08, rawBefore);
    put32(b, e + 0x0C, kSectionAlignment * (1 + pagesBefore * i));
    put32(b, e + 0x10, rawBefore);
    put32(b, e + 0x14, headersSize + rawBefore * i);
    put32(b, e + 0x24, 0x60000020);  // code, execute, read
    b[headersSize + rawBefore * i] = 0xC3;
  }
  auto dataSection = [&](uint32_t index, const std::string& name, const std::vector<uint8_t>& data,
                         uint32_t address, uint32_t raw, uint32_t rawSize) {
    const uint32_t e = tableOffset + 40 * index;
    putName(b, e, name);
    put32(b, e + 0x08, static_cast<uint32_t>(data.size()));
    put32(b, e + 0x0C, address);
    put32(b, e + 0x10, rawSize);
    put32(b, e + 0x14, raw);
    put32(b, e + 0x24, 0xC0000040);  // initialised data, read, write
    for (size_t i = 0; i < data.size(); ++i) b[raw + i] = data[i];
    return e;
  };
  image.importEntryOffset =
      dataSection(nBefore, plan.importSectionName, imports, importAddress, importRaw, importSize);
  if (exporting) dataSection(nBefore + 1, ".edata", exports, exportAddress, exportRaw, exportSize);

  image.peOffset = pe;
  image.importRawOffset = importRaw;
  image.importAddress = importAddress;
  image.importSize = importSize;
  image.exportRawOffset = exporting ? exportRaw : 0;
  image.exportAddress = exporting ? exportAddress : 0;
  image.imageSize = imageSize;
  return image;
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
  const uint32_t edataEntry = idataEntry + 40;
  const uint32_t directory = base.exportRawOffset;
  const uint32_t names = directory + get32(b, directory + kExportAddressOfNames) - base.exportAddress;
  const uint32_t first = get32(b, names);
  switch (craft) {
    case ExportCraft::RawPastVirtualSize:
      put32(b, idataEntry + 0x08, 0x200);
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
      put32(b, idataEntry + 0x08, base.exportAddress - base.importAddress + 1);
      break;
  }
  return b;
}
