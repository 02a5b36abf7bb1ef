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

// Decoders of the records, field by field from little-endian bytes. The caller
// has checked that the whole record lies inside `bytes`; a PE header needs the
// first 0x58 bytes.
DosHeader decodeDosHeader(const uint8_t* bytes);
PeHeader decodePeHeader(const uint8_t* bytes);
SectionEntry decodeSectionEntry(const uint8_t* bytes);

// File offset of the section table: right behind the optional header.
uint64_t sectionTableOffset(uint32_t e_lfanew, const PeHeader& hdr);

// Data directory `index` of the PE header in `pe` (starting at its
// signature), for PE32 and PE32+ alike. False, with nothing set, when the
// optional header has no such entry: fewer directories, an optional header
// too short for it, an unknown magic, or bytes that were not read.
bool dataDirectory(Bytes pe, unsigned index, DataDirectory* entry);

#endif
