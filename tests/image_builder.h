// Builds PE32 images in memory: a DOS header, a PE header with a 224-byte
// optional header, a section table, a small code section and an import
// section laid out as a linker lays it out (descriptors first, then lookup
// lists, address lists, hint/name entries and module names).
#ifndef ZYMRAN_TESTS_IMAGE_BUILDER_H
#define ZYMRAN_TESTS_IMAGE_BUILDER_H

#include <stdint.h>

#include <string>
#include <vector>

struct ImportedFunction {
  std::string name;      // imported by name when not empty
  uint32_t ordinal = 0;  // imported by ordinal when the name is empty
};

ImportedFunction byOrdinal(uint32_t ordinal);

struct ImportedModule {
  std::string name;
  std::vector<ImportedFunction> functions;
  bool lookupThroughFirstThunk = false;  // OriginalFirstThunk 0
};

struct ImagePlan {
  std::vector<ImportedModule> modules;
  std::string importSectionName = ".idata";
  // Sections placed before the import section in the table, each with this
  // many bytes of raw data (a multiple of 0x200).
  std::vector<std::string> sectionsBefore = {".text"};
  uint32_t sectionBeforeSize = 0x200;
  bool dll = false;
};

struct BuiltImage {
  std::vector<uint8_t> bytes;
  uint32_t peOffset = 0;          // file offset of the PE header
  uint32_t importEntryOffset = 0; // file offset of the import section's table entry
  uint32_t importRawOffset = 0;   // file offset of the import section's data
  uint32_t importAddress = 0;     // its relative virtual address
  uint32_t importSize = 0;        // its SizeOfRawData
};

BuiltImage buildImage(const ImagePlan& plan);

// Little-endian stores into an image.
void put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
uint32_t get32(const std::vector<uint8_t>& bytes, size_t offset);

// Offsets of header fields from the start of the PE header.
const uint32_t kPeNumberOfSections = 0x06;
const uint32_t kPeSizeOfHeaders = 0x54;
// Offsets of fields in a section table entry.
const uint32_t kSectionVirtualAddress = 0x0C;
const uint32_t kSectionSizeOfRawData = 0x10;
const uint32_t kSectionPointerToRawData = 0x14;

// A small image importing from KERNEL32, USER32, GDI32 and a non-system
// module, as made for the README's sample.
ImagePlan sampleImagePlan();

#endif
