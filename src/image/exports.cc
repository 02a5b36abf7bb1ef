#include "exports.h"

namespace {

// What address translation needs: the whole file, its section table and the
// size of its headers (mapped at address 0).
struct Layout {
  Bytes file;
  Bytes table;
  uint32_t sizeOfHeaders;
};

// The file's bytes [from, to), cut at the end of the file; empty when `from`
// lies at or past it.
Bytes fileSpan(Bytes file, uint64_t from, uint64_t to) {
  if (to > file.size) to = file.size;
  if (from >= to) return {nullptr, 0};
  return {file.data + from, static_cast<uint32_t>(to - from)};
}

// The bytes that the relative virtual address `rva` maps to, up to the end
// of the raw data that holds it: the first section whose raw data covers it,
// else the headers. Empty when no byte of the file is there.
Bytes mapAddress(const Layout& layout, uint64_t rva) {
  for (uint64_t at = 0; inBounds(layout.table, at, kSectionEntrySize); at += kSectionEntrySize) {
    const SectionEntry section = decodeSectionEntry(layout.table.data + at);
    if (rva < section.VirtualAddress || rva - section.VirtualAddress >= section.SizeOfRawData)
      continue;
    const uint64_t start = section.PointerToRawData;
    return fileSpan(layout.file, start + (rva - section.VirtualAddress), start + section.SizeOfRawData);
  }
  if (rva < layout.sizeOfHeaders) return fileSpan(layout.file, rva, layout.sizeOfHeaders);
  return {nullptr, 0};
}

bool outside(Note* fault, const char* what, uint64_t address) {
  fault->add(what).add(" at address ").addHex(address).add(" lies outside the file's data");
  return false;
}

}  // namespace

bool readExportNames(Bytes file, ExportNameSink sink, void* context, Note* fault) {
  if (!inBounds(file, 0, kDosHeaderSize) || decodeDosHeader(file.data).e_magic != 0x5A4D) {
    fault->add("not a PE image: no DOS header");
    return false;
  }
  const uint32_t e_lfanew = decodeDosHeader(file.data).e_lfanew;
  if (!inBounds(file, e_lfanew, 0x58) || u32At(file.data + e_lfanew) != 0x00004550) {
    fault->add("not a PE image: no PE header at file offset ").addHex(e_lfanew);
    return false;
  }
  const Bytes pe = {file.data + e_lfanew, file.size - e_lfanew};
  const PeHeader hdr = decodePeHeader(pe.data);
  if (hdr.Magic != kPe32Magic && hdr.Magic != kPe32PlusMagic) {
    fault->add("not a PE32 or PE32+ image: optional header magic ").addHex(hdr.Magic);
    return false;
  }
  const uint64_t tableAt = sectionTableOffset(e_lfanew, hdr);
  const uint64_t tableSize = static_cast<uint64_t>(hdr.nObjects) * kSectionEntrySize;
  if (!inBounds(file, tableAt, tableSize)) {
    fault->add("section table at file offset ").addHex(tableAt).add(" (");
    fault->addDecimal(hdr.nObjects).add(" entries) runs past the end of the file");
    return false;
  }
  const Layout layout = {file, {file.data + tableAt, static_cast<uint32_t>(tableSize)},
                         hdr.SizeOfHeaders};

  DataDirectory directory;
  if (!dataDirectory(pe, kExportDirectory, &directory) || directory.VirtualAddress == 0)
    return true;
  const Bytes exports = mapAddress(layout, directory.VirtualAddress);
  if (!inBounds(exports, 0, kExportDirectorySize))
    return outside(fault, "export directory", directory.VirtualAddress);
  const uint32_t count = u32At(exports.data + 0x18);    // NumberOfNames
  const uint32_t namesAt = u32At(exports.data + 0x20);  // AddressOfNames
  if (count == 0) return true;
  const Bytes names = mapAddress(layout, namesAt);
  if (!inBounds(names, 0, static_cast<uint64_t>(count) * 4)) {
    fault->add("export name table at address ").addHex(namesAt).add(" (").addDecimal(count);
    fault->add(" entries) lies outside the file's data");
    return false;
  }
  for (uint64_t i = 0; i < count; ++i) {
    const uint32_t nameAt = u32At(names.data + 4 * i);
    const Bytes text = mapAddress(layout, nameAt);
    const char* name = stringAt(text, 0);
    if (name == nullptr) {
      if (text.size == 0) return outside(fault, "export name", nameAt);
      fault->add("export name at address ").addHex(nameAt).add(" runs past the end of its section");
      return false;
    }
    if (!sink(context, name, nameAt, fault)) return false;
  }
  return true;
}
