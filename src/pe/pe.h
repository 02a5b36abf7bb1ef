// The records of a PE image as they stand in the file, and the one bounds
// check in front of every read of image data. The import report and the
// export reader both decode through these.
#ifndef ZYMRAN_PE_H
#define ZYMRAN_PE_H

#include <stdint.h>

// Sizes of the records as they stand in the file.
const uint32_t kDosHeaderSize = 64;
const uint32_t kPeHeaderSize = 248;  // the block read for a PE32 header
const uint32_t kFileHeaderEnd = 24;  // signature and file header
const uint32_t kSectionEntrySize = 40;
const uint32_t kDescriptorSize = 20;
const uint32_t kExportDirectorySize = 40;
const uint32_t kDelayDescriptorSize = 32;

// Fields of the DOS header.
const uint32_t kDosMagic = 0x00;               // "MZ"
const uint32_t kDosRelocationTable = 0x18;     // e_lfarlc
const uint32_t kDosPeOffset = 0x3C;            // e_lfanew

// Fields of the PE header, from its signature: the file header, then the
// optional header from kFileHeaderEnd on.
const uint32_t kPeSignature = 0x00;            // "PE\0\0"
const uint32_t kPeMachine = 0x04;
const uint32_t kPeNumberOfSections = 0x06;
const uint32_t kPeSizeOfOptionalHeader = 0x14;
const uint32_t kPeCharacteristics = 0x16;
const uint32_t kPeMagic = 0x18;                // the optional header's first field
const uint32_t kPeImageBase = 0x34;            // of a PE32 image
const uint32_t kPeSizeOfHeaders = 0x54;
const uint32_t kPeDecodedSize = 0x58;          // what decodePeHeader reads
const uint32_t kPe32DirectoryCount = 0x74;     // NumberOfRvaAndSizes, then the directories
const uint32_t kPe32PlusDirectoryCount = 0x84;
const uint32_t kPeImportDirectory = kPe32DirectoryCount + 4 + 8;  // in a PE32 header

// Fields of a section table entry.
const uint32_t kSectionName = 0x00;            // eight bytes
const uint32_t kSectionVirtualSize = 0x08;
const uint32_t kSectionVirtualAddress = 0x0C;
const uint32_t kSectionSizeOfRawData = 0x10;
const uint32_t kSectionPointerToRawData = 0x14;
const uint32_t kSectionCharacteristics = 0x24;

// Fields of an import descriptor.
const uint32_t kDescriptorLookupList = 0x00;   // OriginalFirstThunk
const uint32_t kDescriptorName = 0x0C;
const uint32_t kDescriptorAddressList = 0x10;  // FirstThunk

// Fields of a delay-load import descriptor.
const uint32_t kDelayAttributes = 0x00;        // bit 0 set: addresses are relative
const uint32_t kDelayName = 0x04;
const uint32_t kDelayModuleHandle = 0x08;
const uint32_t kDelayAddressList = 0x0C;
const uint32_t kDelayLookupList = 0x10;

// Fields of the export directory.
const uint32_t kExportName = 0x0C;
const uint32_t kExportOrdinalBase = 0x10;
const uint32_t kExportNumberOfFunctions = 0x14;
const uint32_t kExportNumberOfNames = 0x18;
const uint32_t kExportAddressOfFunctions = 0x1C;
const uint32_t kExportAddressOfNames = 0x20;
const uint32_t kExportAddressOfNameOrdinals = 0x24;

// The magic values of the two headers, and the flag of an import by ordinal
// in a PE32 lookup entry.
const uint16_t kDosMagicValue = 0x5A4D;        // "MZ"
const uint32_t kPeSignatureValue = 0x00004550; // "PE\0\0"
const uint32_t kOrdinalFlag = 0x80000000u;

// Optional header magic values.
const uint16_t kPe32Magic = 0x010B;
const uint16_t kPe32PlusMagic = 0x020B;

// Data directory indexes.
const unsigned kExportDirectory = 0;
const unsigned kImportDirectory = 1;
const unsigned kDelayImportDirectory = 13;

// A span of bytes read from the image. `size` counts the bytes that were
// actually read; nothing past it is ever looked at.
struct Bytes {
  const uint8_t* data;
  uint32_t size;
};

// The one bounds check in front of every read of image data: whether `length`
// bytes at `offset` lie inside `bytes`. Overflow-safe in 64-bit arithmetic.
bool inBounds(Bytes bytes, uint64_t offset, uint64_t length);

// Little-endian fields at a place already checked.
uint16_t u16At(const uint8_t* p);
uint32_t u32At(const uint8_t* p);

// A checked read of a u32 at `offset`; false when it lies outside `bytes`.
bool readU32(Bytes bytes, uint64_t offset, uint32_t* value);

// The NUL-terminated string at `offset`, or null when it starts outside
// `bytes` or has no NUL before their end.
const char* stringAt(Bytes bytes, uint64_t offset);

struct DosHeader {
  uint16_t e_magic;
  uint16_t e_lfarlc;
  uint32_t e_lfanew;
};

struct PeHeader {
  uint32_t Signature;
  uint16_t nObjects;              // the file header's NumberOfSections
  uint16_t SizeOfOptionalHeader;  // the section table follows the optional header
  uint16_t Magic;                 // PE32 or PE32+
  uint32_t ImageBase;             // of a PE32 image
  uint32_t SizeOfHeaders;         // bytes read for the section table
};

struct SectionEntry {
  char Name[8];
  uint32_t VirtualSize;
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
};

struct DataDirectory {
  uint32_t VirtualAddress;
  uint32_t Size;
};

// An import descriptor, or a delay-load one: the addresses of its module's
// name, its lookup list and its address list. A delay-load descriptor also
// tells whether its addresses are relative ones.
struct ImportDescriptor {
  uint32_t Name;
  uint32_t LookupList;
  uint32_t AddressList;
  bool relative;  // always true for an ordinary descriptor
};

struct ExportDirectory {
  uint32_t Base;
  uint32_t NumberOfFunctions;
  uint32_t NumberOfNames;
  uint32_t AddressOfFunctions;
  uint32_t AddressOfNames;
  uint32_t AddressOfNameOrdinals;
};

// Decoders of the records, field by field from little-endian bytes. The caller
// has checked that the whole record lies inside `bytes`; a PE header needs the
// first kPeDecodedSize bytes.
DosHeader decodeDosHeader(const uint8_t* bytes);
PeHeader decodePeHeader(const uint8_t* bytes);
SectionEntry decodeSectionEntry(const uint8_t* bytes);
ImportDescriptor decodeImportDescriptor(const uint8_t* bytes);
ImportDescriptor decodeDelayDescriptor(const uint8_t* bytes);
ExportDirectory decodeExportDirectory(const uint8_t* bytes);

// File offset of the section table: right behind the optional header.
uint64_t sectionTableOffset(uint32_t e_lfanew, const PeHeader& hdr);

// Data directory `index` of the PE header in `pe` (starting at its
// signature), for PE32 and PE32+ alike. False, with nothing set, when the
// optional header has no such entry: fewer directories, an optional header
// too short for it, an unknown magic, or bytes that were not read.
bool dataDirectory(Bytes pe, unsigned index, DataDirectory* entry);

#endif
