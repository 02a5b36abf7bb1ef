#include "image_builder.h"

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

// The import section's data for `modules`, placed at `address`.
std::vector<uint8_t> importData(const std::vector<ImportedModule>& modules, uint32_t address) {
  std::vector<uint8_t> data((modules.size() + 1) * 20);
  auto reserve = [&](size_t size) {
    const size_t at = data.size();
    data.resize(at + size);
    return static_cast<uint32_t>(at);
  };
  std::vector<uint32_t> lookup, addresses;
  for (const ImportedModule& m : modules) lookup.push_back(reserve((m.functions.size() + 1) * 4));
  for (const ImportedModule& m : modules) addresses.push_back(reserve((m.functions.size() + 1) * 4));
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
  for (size_t i = 0; i < modules.size(); ++i) {
    const ImportedModule& m = modules[i];
    const uint32_t at = reserve(m.name.size() + 1);
    for (size_t c = 0; c < m.name.size(); ++c) data[at + c] = static_cast<uint8_t>(m.name[c]);
    const size_t d = i * 20;
    put32(data, d + 0x00, m.lookupThroughFirstThunk ? 0 : address + lookup[i]);
    put32(data, d + 0x0C, address + at);
    put32(data, d + 0x10, address + addresses[i]);
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
  const uint32_t nSections = static_cast<uint32_t>(plan.sectionsBefore.size() + 1);
  const uint32_t tableOffset = kPeOffset + 248;
  const uint32_t headersSize = alignUp(tableOffset + 40 * nSections, kFileAlignment);

  const uint32_t rawBefore = plan.sectionBeforeSize;
  const uint32_t pagesBefore = alignUp(rawBefore, kSectionAlignment) / kSectionAlignment;
  const uint32_t importAddress = kSectionAlignment * (1 + pagesBefore * (nSections - 1));
  const std::vector<uint8_t> imports = importData(plan.modules, importAddress);
  const uint32_t importSize = alignUp(static_cast<uint32_t>(imports.size()), kFileAlignment);
  const uint32_t importRaw = headersSize + rawBefore * (nSections - 1);
  const uint32_t imageSize =
      importAddress + alignUp(static_cast<uint32_t>(imports.size()), kSectionAlignment);

  std::vector<uint8_t>& b = image.bytes;
  b.assign(importRaw + importSize, 0);

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
  put16(b, pe + 0x04, 0x014C);  // Intel 80386
  put16(b, pe + 0x06, static_cast<uint16_t>(nSections));
  put16(b, pe + 0x14, 224);
  put16(b, pe + 0x16, plan.dll ? 0x2102 : 0x0102);

  // Optional header.
  const uint32_t opt = pe + 24;
  put16(b, opt + 0, 0x010B);
  put32(b, opt + 4, rawBefore * (nSections - 1));  // SizeOfCode
  put32(b, opt + 16, nSections > 1 ? kSectionAlignment : 0);  // AddressOfEntryPoint
  put32(b, opt + 20, kSectionAlignment);                      // BaseOfCode
  put32(b, opt + 28, plan.dll ? 0x10000000u : 0x00400000u);   // ImageBase
  put32(b, opt + 32, kSectionAlignment);
  put32(b, opt + 36, kFileAlignment);
  put16(b, opt + 40, 4);  // operating system version
  put16(b, opt + 48, 4);  // subsystem version
  put32(b, opt + 56, imageSize);
  put32(b, opt + 60, headersSize);
  put16(b, opt + 68, 3);  // console
  put32(b, opt + 72, 0x100000);
  put32(b, opt + 76, 0x1000);
  put32(b, opt + 80, 0x100000);
  put32(b, opt + 84, 0x1000);
  put32(b, opt + 92, 16);
  put32(b, opt + 96 + 8, importAddress);  // import directory
  put32(b, opt + 96 + 12, static_cast<uint32_t>((plan.modules.size() + 1) * 20));

  // Section table and the sections before the import section.
  for (uint32_t i = 0; i + 1 < nSections; ++i) {
    const uint32_t e = tableOffset + 40 * i;
    putName(b, e, plan.sectionsBefore[i]);
    put32(b, e + 0x08, rawBefore);
    put32(b, e + 0x0C, kSectionAlignment * (1 + pagesBefore * i));
    put32(b, e + 0x10, rawBefore);
    put32(b, e + 0x14, headersSize + rawBefore * i);
    put32(b, e + 0x24, 0x60000020);  // code, execute, read
    b[headersSize + rawBefore * i] = 0xC3;
  }
  const uint32_t e = tableOffset + 40 * (nSections - 1);
  putName(b, e, plan.importSectionName);
  put32(b, e + 0x08, static_cast<uint32_t>(imports.size()));
  put32(b, e + 0x0C, importAddress);
  put32(b, e + 0x10, importSize);
  put32(b, e + 0x14, importRaw);
  put32(b, e + 0x24, 0xC0000040);  // initialised data, read, write
  for (size_t i = 0; i < imports.size(); ++i) b[importRaw + i] = imports[i];

  image.peOffset = pe;
  image.importEntryOffset = e;
  image.importRawOffset = importRaw;
  image.importAddress = importAddress;
  image.importSize = importSize;
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
