#include "pe/pe.h"

#include "platform/platform.h"

bool inBounds(Bytes bytes, uint64_t offset, uint64_t length) {
  return offset <= bytes.size && length <= bytes.size - offset;
}

uint16_t u16At(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t u32At(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool readU32(Bytes bytes, uint64_t offset, uint32_t* value) {
  if (!inBounds(bytes, offset, 4)) return false;
  *value = u32At(bytes.data + offset);
  return true;
}

const char* stringAt(Bytes bytes, uint64_t offset) {
  if (!inBounds(bytes, offset, 1)) return nullptr;
  for (uint64_t i = offset; i < bytes.size; ++i)
    if (bytes.data[i] == 0) return reinterpret_cast<const char*>(bytes.data + offset);
  return nullptr;
}

DosHeader decodeDosHeader(const uint8_t* bytes) {
  DosHeader h;
  h.e_magic = u16At(bytes + kDosMagic);
  h.e_lfarlc = u16At(bytes + kDosRelocationTable);
  h.e_lfanew = u32At(bytes + kDosPeOffset);
  return h;
}

PeHeader decodePeHeader(const uint8_t* bytes) {
  PeHeader h;
  h.Signature = u32At(bytes + kPeSignature);
  h.nObjects = u16At(bytes + kPeNumberOfSections);
  h.SizeOfOptionalHeader = u16At(bytes + kPeSizeOfOptionalHeader);
  h.Magic = u16At(bytes + kPeMagic);
  h.ImageBase = u32At(bytes + kPeImageBase);
  h.SizeOfHeaders = u32At(bytes + kPeSizeOfHeaders);
  return h;
}

SectionEntry decodeSectionEntry(const uint8_t* bytes) {
  SectionEntry e;
  copyBytes(e.Name, bytes + kSectionName, sizeof e.Name);
  e.VirtualSize = u32At(bytes + kSectionVirtualSize);
  e.VirtualAddress = u32At(bytes + kSectionVirtualAddress);
  e.SizeOfRawData = u32At(bytes + kSectionSizeOfRawData);
  e.PointerToRawData = u32At(bytes + kSectionPointerToRawData);
  return e;
}

ImportDescriptor decodeImportDescriptor(const uint8_t* bytes) {
  ImportDescriptor d;
  d.Name = u32At(bytes + kDescriptorName);
  d.LookupList = u32At(bytes + kDescriptorLookupList);
  d.AddressList = u32At(bytes + kDescriptorAddressList);
  d.relative = true;
  return d;
}

ImportDescriptor decodeDelayDescriptor(const uint8_t* bytes) {
  ImportDescriptor d;
  d.Name = u32At(bytes + kDelayName);
  d.LookupList = u32At(bytes + kDelayLookupList);
  d.AddressList = u32At(bytes + kDelayAddressList);
  d.relative = (u32At(bytes + kDelayAttributes) & 1) != 0;
  return d;
}

ExportDirectory decodeExportDirectory(const uint8_t* bytes) {
  ExportDirectory e;
  e.Base = u32At(bytes + kExportOrdinalBase);
  e.NumberOfFunctions = u32At(bytes + kExportNumberOfFunctions);
  e.NumberOfNames = u32At(bytes + kExportNumberOfNames);
  e.AddressOfFunctions = u32At(bytes + kExportAddressOfFunctions);
  e.AddressOfNames = u32At(bytes + kExportAddressOfNames);
  e.AddressOfNameOrdinals = u32At(bytes + kExportAddressOfNameOrdinals);
  return e;
}

uint64_t sectionTableOffset(uint32_t e_lfanew, const PeHeader& hdr) {
  return static_cast<uint64_t>(e_lfanew) + kFileHeaderEnd + hdr.SizeOfOptionalHeader;
}

bool dataDirectory(Bytes pe, unsigned index, DataDirectory* entry) {
  if (!inBounds(pe, 0, kPeDecodedSize)) return false;
  const PeHeader hdr = decodePeHeader(pe.data);
  // Where the count of directories and the first directory stand.
  uint64_t countAt;
  if (hdr.Magic == kPe32Magic) countAt = kPe32DirectoryCount;
  else if (hdr.Magic == kPe32PlusMagic) countAt = kPe32PlusDirectoryCount;
  else return false;
  const uint64_t optionalEnd = static_cast<uint64_t>(kFileHeaderEnd) + hdr.SizeOfOptionalHeader;
  const uint64_t at = countAt + 4 + 8 * static_cast<uint64_t>(index);
  uint32_t count = 0;
  if (at + 8 > optionalEnd || !readU32(pe, countAt, &count) || index >= count ||
      !inBounds(pe, at, 8))
    return false;
  entry->VirtualAddress = u32At(pe.data + at);
  entry->Size = u32At(pe.data + at + 4);
  return true;
}
