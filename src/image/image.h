// Reading a PE32 image: its DOS and PE headers, its section table and the
// ".idata" section, and the import report printed from it.
#ifndef ZYMRAN_IMAGE_H
#define ZYMRAN_IMAGE_H

#include <stdint.h>

#include "host/host.h"
#include "platform/platform.h"

// Sizes of the records as they stand in the file.
const uint32_t kDosHeaderSize = 64;
const uint32_t kPeHeaderSize = 248;
const uint32_t kSectionEntrySize = 40;
const uint32_t kDescriptorSize = 20;

// A span of bytes read from the image. `size` counts the bytes that were
// actually read; nothing past it is ever looked at.
struct Bytes {
  const uint8_t* data;
  uint32_t size;
};

// The one bounds check in front of every read of image data: whether `length`
// bytes at `offset` lie inside `bytes`. Overflow-safe in 64-bit arithmetic.
bool inBounds(Bytes bytes, uint64_t offset, uint64_t length);

struct DosHeader {
  uint16_t e_magic;
  uint16_t e_lfarlc;
  uint32_t e_lfanew;
};

struct PeHeader {
  uint32_t Signature;
  uint16_t nObjects;       // the file header's NumberOfSections
  uint32_t SizeOfHeaders;  // bytes read for the section table
};

struct SectionEntry {
  char Name[8];
  uint32_t VirtualAddress;
  uint32_t SizeOfRawData;
  uint32_t PointerToRawData;
};

// Decoders of the records, field by field from little-endian bytes. The caller
// has checked that the whole record lies inside `bytes`.
DosHeader decodeDosHeader(const uint8_t* bytes);
PeHeader decodePeHeader(const uint8_t* bytes);
SectionEntry decodeSectionEntry(const uint8_t* bytes);

// The modules that are part of the system, and those that the host emulates.
extern const char* const systemModules[4];
extern const char* const implementedModules[3];
bool isSystemModule(const char* name);
bool isImplementedModule(const char* name);

// Checks that `stream` (at offset 0) holds a PE image and prints its import
// report. Returns 0 when the report was printed and 1 when the file is not a
// PE image or its import data is damaged.
int checkImage(File* stream);

// Loads the section table that follows the PE header (it ends at file offset
// `headerEnd`) into fullHeader, finds the ".idata" entry (idataHdr) and loads
// its raw data into `section`, which the caller releases. Returns false, after
// its message, when the table or the section cannot be read.
bool loadImportSection(File* stream, const PeHeader& hdr, uint64_t headerEnd,
                       Bytes* section);

// Prints the report for one import section. Returns false, after its message,
// when the import data is damaged.
bool reportImports(Bytes section);

// Prints whether the host implements one function.
void reportFunction(const char* name, HostHandle modHandle);

#endif
