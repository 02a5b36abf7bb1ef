#include "image.h"

namespace {

// The section table, as read, and the ".idata" entry inside it.
uint8_t* fullHeader = nullptr;
uint32_t fullHeaderSize = 0;
const uint8_t* idataHdr = nullptr;

// Every damaged structure is reported with this one line, and the run ends
// with status 1.
bool damaged(const Note& note) {
  outPrint("\nDamaged image: %s\n", note.text);
  return false;
}

// Damage inside the import section: `what` at the relative virtual address
// `address` either starts outside the section or, for a string, runs past it.
bool damagedAt(const char* what, uint64_t address, bool runsPast) {
  Note note;
  note.add(what).add(" at address ").addHex(address);
  note.add(runsPast ? " runs past the end of the import section"
                    : " lies outside the import section");
  return damaged(note);
}

// Offset in the import section of the relative virtual address `rva`. An
// address below the section yields an offset beyond any buffer, far enough
// that adding a list index to it cannot wrap.
const uint64_t kOutside = uint64_t(1) << 40;
uint64_t sectionOffset(uint64_t rva, uint32_t virtualAddress) {
  return rva >= virtualAddress ? rva - virtualAddress : kOutside;
}

// Reads a name at `rva`; reports the damage when it cannot.
const char* nameAt(Bytes section, uint32_t virtualAddress, uint64_t rva, const char* what) {
  const uint64_t offset = sectionOffset(rva, virtualAddress);
  const char* name = stringAt(section, offset);
  if (name == nullptr) damagedAt(what, rva, inBounds(section, offset, 1));
  return name;
}

bool isIdataName(const char* name) { return sameIgnoringCase(name, ".idata"); }

uint32_t smaller(uint32_t claimed, uint64_t available) {
  return available < claimed ? static_cast<uint32_t>(available) : claimed;
}

void notPe() { outPrint("Not a PE file\n"); }

// Where the import descriptors start: at the import directory when its
// address lies inside the section's data, else at the section's first byte.
uint32_t descriptorsStart(Bytes pe, Bytes section) {
  const uint32_t virtualAddress = decodeSectionEntry(idataHdr).VirtualAddress;
  DataDirectory imports;
  if (!dataDirectory(pe, kImportDirectory, &imports) || imports.VirtualAddress < virtualAddress)
    return 0;
  const uint64_t offset = imports.VirtualAddress - virtualAddress;
  return inBounds(section, offset, 1) ? static_cast<uint32_t>(offset) : 0;
}

}  // namespace

void reportFunction(const char* name, HostHandle modHandle) {
  outPrint(host::GetProcAddress(modHandle, name) != nullptr ? "Implemented\n" : "Not implemented\n");
}

bool loadImportSection(File* stream, const PeHeader& hdr, uint64_t tableOffset, Bytes* section) {
  section->data = nullptr;
  section->size = 0;

  // Memory follows the table and the file: no more is allocated than the
  // entries that the header counts, nor than the file holds from the table on.
  const uint64_t size = fileSize(stream);
  uint64_t available = size > tableOffset && tableOffset <= UINT32_MAX ? size - tableOffset : 0;
  const uint64_t tableSize = static_cast<uint64_t>(hdr.nObjects) * kSectionEntrySize;
  if (tableSize < available) available = tableSize;
  const uint32_t wanted = smaller(hdr.SizeOfHeaders, available);
  fullHeader = static_cast<uint8_t*>(memAlloc(wanted));
  ZCHECK(hdr.SizeOfHeaders != 0 && (wanted == 0 || fullHeader != nullptr), "fullHeader", 52);
  fullHeaderSize = 0;
  if (wanted != 0 && fileSeek(stream, static_cast<uint32_t>(tableOffset)))
    fullHeaderSize = fileRead(stream, fullHeader, wanted);
  const Bytes table = {fullHeader, fullHeaderSize};

  unsigned i = 0;
  for (; i < hdr.nObjects; ++i) {
    const uint64_t at = static_cast<uint64_t>(i) * kSectionEntrySize;
    if (!inBounds(table, at, kSectionEntrySize)) {
      Note note;
      note.add("section table entry ").addDecimal(i).add(" lies outside the ");
      note.addDecimal(fullHeaderSize).add(" header bytes read");
      return damaged(note);
    }
    char name[9];
    copyBytes(name, fullHeader + at + kSectionName, 8);
    name[8] = '\0';
    if (isIdataName(name)) break;
  }
  ZCHECK(i < hdr.nObjects, "i < hdr.nObjects", 66);
  idataHdr = fullHeader + static_cast<uint64_t>(i) * kSectionEntrySize;

  const SectionEntry idata = decodeSectionEntry(idataHdr);
  const uint64_t start = idata.PointerToRawData;
  const uint32_t rawSize = smaller(idata.SizeOfRawData, size > start ? size - start : 0);
  uint8_t* buffer = static_cast<uint8_t*>(memAlloc(rawSize));
  section->data = buffer;
  if (buffer != nullptr && fileSeek(stream, idata.PointerToRawData))
    section->size = fileRead(stream, buffer, rawSize);
  if (section->size == 0) {
    Note note;
    note.add("the import section at file offset ").addHex(start);
    note.add(rawSize == 0 ? " holds no data" : " could not be read");
    return damaged(note);
  }
  return true;
}

bool reportImports(Bytes section, uint32_t firstDescriptor) {
  const uint32_t virtualAddress = decodeSectionEntry(idataHdr).VirtualAddress;
  for (uint64_t at = firstDescriptor;; at += kDescriptorSize) {
    uint32_t nameRva = 0;
    if (!readU32(section, at + kDescriptorName, &nameRva))
      return damagedAt("import descriptor", virtualAddress + at, false);
    if (nameRva == 0) return true;

    const char* name = nameAt(section, virtualAddress, nameRva, "module name");
    if (name == nullptr) return false;
    if (!isSystemModule(name)) {
      outPrint("\nModule %s is not a system module.\n", name);
      continue;
    }
    if (!isImplementedModule(name)) {
      outPrint("\nThe Orvanel 32bit DOS extender does not implement %s\n", name);
      continue;
    }
    outPrint("\nImports from %s\n", name);

    uint32_t list = 0;
    if (!readU32(section, at + kDescriptorLookupList, &list) ||
        (list == 0 && !readU32(section, at + kDescriptorAddressList, &list)))
      return damagedAt("import descriptor", virtualAddress + at, false);
    const uint64_t listOffset = sectionOffset(list, virtualAddress);

    const HostHandle modHandle = host::GetModuleHandleA(name);
    ZCHECK(modHandle != nullptr, "modHandle", 165);

    for (uint64_t k = 0;; ++k) {
      uint32_t impOrd = 0;
      if (!readU32(section, listOffset + 4 * k, &impOrd))
        return damagedAt("lookup entry", static_cast<uint64_t>(list) + 4 * k, false);
      if (impOrd == 0) break;
      ZCHECK(!(impOrd & kOrdinalFlag), "!(*impOrd & 0x80000000)", 172);
      if (!inBounds(section, sectionOffset(impOrd, virtualAddress), 2))
        return damagedAt("hint/name entry", impOrd, false);
      const char* function =
          nameAt(section, virtualAddress, static_cast<uint64_t>(impOrd) + 2, "function name");
      if (function == nullptr) return false;
      outPrint("%-40s", function);
      reportFunction(function, modHandle);
    }
  }
}

int checkImage(File* stream) {
  uint8_t dos[kDosHeaderSize];
  if (fileRead(stream, dos, kDosHeaderSize) != kDosHeaderSize) {
    notPe();
    return 1;
  }
  const DosHeader dosHeader = decodeDosHeader(dos);
  if (dosHeader.e_magic != kDosMagicValue || dosHeader.e_lfarlc != 0x0040) {
    notPe();
    return 1;
  }
  uint8_t pe[kPeHeaderSize];
  if (!fileSeek(stream, dosHeader.e_lfanew) ||
      fileRead(stream, pe, kPeHeaderSize) != kPeHeaderSize) {
    notPe();
    return 1;
  }
  const PeHeader hdr = decodePeHeader(pe);
  if (hdr.Signature != kPeSignatureValue) {
    notPe();
    return 1;
  }
  if (hdr.Magic == kPe32PlusMagic) {
    outPrint("This is a 64-bit image; the Orvanel 32bit DOS extender runs 32-bit images only.\n");
    return 1;
  }

  Bytes section;
  bool complete =
      loadImportSection(stream, hdr, sectionTableOffset(dosHeader.e_lfanew, hdr), &section);
  if (complete) complete = reportImports(section, descriptorsStart({pe, kPeHeaderSize}, section));

  memFree(const_cast<uint8_t*>(section.data));
  memFree(fullHeader);
  fullHeader = nullptr;
  fullHeaderSize = 0;
  idataHdr = nullptr;
  return complete ? 0 : 1;
}
