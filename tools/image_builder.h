// Builds PE32 (and PE32+) images in memory: a DOS header, a PE header with
// its optional header (224 bytes for PE32 unless fewer data directories are
// asked for), a section table, a small code section, an import section laid
// out as a linker lays it out (descriptors first, then the delay-load
// descriptors and module handles when any module is delay-loaded, then lookup
// lists, address lists, hint/name entries and module names) and, when the
// plan exports anything, an export section.
#ifndef ZYMRAN_TESTS_IMAGE_BUILDER_H
#define ZYMRAN_TESTS_IMAGE_BUILDER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "pe/pe.h"

struct ImportedFunction {
  std::string name;      // imported by name when not empty
  uint32_t ordinal = 0;  // imported by ordinal when the name is empty
};

ImportedFunction byOrdinal(uint32_t ordinal);

struct ImportedModule {
  std::string name;
  std::vector<ImportedFunction> functions;
  bool lookupThroughFirstThunk = false;  // OriginalFirstThunk 0
  bool delayed = false;                  // listed in the delay-load directory
};

struct ExportedFunction {
  std::string name;       // exported by ordinal alone when empty
  std::string forwarder;  // "MODULE.Function" for a forwarded export
};

struct ImagePlan {
  std::vector<ImportedModule> modules;
  // Exports, in ordinal order; the name table is sorted as linkers sort it.
  std::vector<ExportedFunction> exports;
  std::string exportModuleName = "SAMPLE.dll";
  std::string importSectionName = ".idata";
  // Sections placed before the import section in the table, each with this
  // many bytes of raw data (a multiple of 0x200).
  std::vector<std::string> sectionsBefore = {".text"};
  uint32_t sectionBeforeSize = 0x200;
  bool dll = false;
  bool pe32plus = false;          // a 64-bit image
  uint32_t dataDirectories = 16;  // fewer make a shorter optional header
  bool addressListsFirst = false; // the import section starts with its address lists
};

struct BuiltImage {
  std::vector<uint8_t> bytes;
  uint32_t peOffset = 0;          // file offset of the PE header
  uint32_t importEntryOffset = 0; // file offset of the import section's table entry
  uint32_t importRawOffset = 0;   // file offset of the import section's data
  uint32_t importAddress = 0;     // its relative virtual address
  uint32_t importSize = 0;        // its SizeOfRawData
  uint32_t exportRawOffset = 0;   // file offset of the export section's data
  uint32_t exportAddress = 0;     // its relative virtual address
  uint32_t imageSize = 0;         // SizeOfImage: the first address past every section
};

BuiltImage buildImage(const ImagePlan& plan);

// Little-endian stores into an image.
void put16(std::vector<uint8_t>& bytes, size_t offset, uint16_t value);
void put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value);
uint32_t get32(const std::vector<uint8_t>& bytes, size_t offset);

// The offsets of header and record fields are those of pe/pe.h.

// A program importing `modules`; a DLL named `name` that exports `exports`
// (in ordinal order) and imports `modules`.
ImagePlan programPlan(std::vector<ImportedModule> modules);
ImagePlan dllPlan(const std::string& name, std::vector<ExportedFunction> exports,
                  std::vector<ImportedModule> modules = {});

// A small image importing from KERNEL32, USER32, GDI32 and a non-system
// module, as made for the README's sample.
ImagePlan sampleImagePlan();

// The sample as a DLL that exports, in ordinal order, a name, a function by
// ordinal alone, a forwarder, a name with a blank and a name starting with
// '@'. Its name table, sorted, is "@at", "HeapAlloc", "Zeta", "with blank".
ImagePlan exportingImagePlan();

// The image of exportingImagePlan() changed so that only a reader that maps
// it as the loader does reads it right, or refuses it.
enum class ExportCraft {
  RawPastVirtualSize,   // the import section's raw data runs past its virtual
                        // size over the export section's addresses: a decoy there
  UnalignedRawData,     // the export section's PointerToRawData is 0x10 past 0x200
  NameInTail,           // the export section's file bytes end before its names
  OneNameThreeTimes,    // the name table points at its first name three times
  NamesShareBytes,      // its second name starts inside the first
  OverlappingSections,  // the import section's addresses run over the export section's
};
std::vector<uint8_t> craftExports(ExportCraft craft);

#endif
