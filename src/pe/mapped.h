// An image as the host's loader maps it: its headers at address 0 and each
// section's file bytes at the section's address. Only what is asked for is
// read: the headers and the section table when the image is opened, then the
// file bytes of each section that holds an address read, once.
//
// A section's file bytes start at its PointerToRawData rounded down to a
// multiple of 0x200 and count the smaller of its SizeOfRawData and its
// VirtualSize (SizeOfRawData when VirtualSize is 0). Its addresses run from
// its VirtualAddress over its VirtualSize (SizeOfRawData when that is 0); two
// sections whose addresses overlap make an image that the loader refuses. An
// address past a section's file bytes lies in its zero-filled tail and holds
// no file data; an address below SizeOfHeaders in no section lies in the
// headers.
#ifndef ZYMRAN_MAPPED_H
#define ZYMRAN_MAPPED_H

#include <stdint.h>

#include "pe/pe.h"
#include "platform/platform.h"

// Where an image's bytes come from.
struct ImageSource {
  void* context;
  // Reads up to `count` bytes at file offset `offset` into `out`; returns the
  // number of bytes read.
  uint32_t (*read)(void* context, uint32_t offset, void* out, uint32_t count);
  uint64_t size;  // of the whole file
};

// An ImageSource over an open file, and over bytes in memory (which must
// outlive it).
ImageSource fileSource(File* file);
ImageSource bytesSource(const Bytes* bytes);

// One section as it is mapped.
struct MappedSection {
  uint32_t start;       // its relative virtual address
  uint32_t end;         // the end of its address range (exclusive)
  uint32_t fileOffset;  // where its file bytes start
  uint32_t fileSize;    // how many file bytes it maps, as far as the file holds them
  uint32_t index;       // its entry in the section table
  uint32_t range;       // the file range that holds its bytes
};

// File bytes that one section maps, or several whose bytes overlap: read
// once, when an address in one of them is first read, so that what is read
// never exceeds the file, in whatever order the sections are read.
struct FileRange {
  uint32_t start;
  uint64_t end;
  uint8_t* data;  // once read
  uint32_t got;   // how many bytes were read
  bool loaded;
};

// An image as mapped: it owns every block it read, and frees them when it
// goes.
struct MappedImage {
  MappedImage() = default;
  MappedImage(const MappedImage&) = delete;
  MappedImage& operator=(const MappedImage&) = delete;
  ~MappedImage();

  ImageSource source = {nullptr, nullptr, 0};
  Block<uint8_t> first;  // the file's first bytes, read at once: headers and, mostly, the section table
  uint32_t firstSize = 0;  // how many were read
  uint32_t e_lfanew = 0;
  PeHeader hdr = PeHeader();
  Bytes pe = {nullptr, 0};  // signature, file header and optional header
  Block<uint8_t> peBlock;   // where pe lies, when not in `first`
  Block<MappedSection> sections;  // sorted by address
  uint32_t sectionCount = 0;
  Block<FileRange> ranges;
  uint32_t rangeCount = 0;
  Bytes headers = {nullptr, 0};  // the first SizeOfHeaders bytes of the file, once read
  Block<uint8_t> headersBlock;   // where headers lie, when not in `first`
  uint32_t headersSize = 0;
  bool headersLoaded = false;
};

// Reads the DOS and PE headers and the section table. Returns false, with
// what is wrong and where in `fault`, when the source holds no PE32 or PE32+
// image, its section table lies outside the file, or two sections claim the
// same addresses; `image` then holds nothing.
bool mapImage(ImageSource source, MappedImage* image, Note* fault);

// The bytes at `rva`, up to the end of the file bytes that hold it. Empty when
// no file byte is mapped there: outside every section and the headers, in a
// section's zero-filled tail, or where the file could not be read. File bytes
// shared by several sections are read once, so that memory follows the file.
Bytes mappedBytes(MappedImage* image, uint64_t rva);

// Data directory `index` of the image; false when it has none.
bool mappedDirectory(const MappedImage& image, unsigned index, DataDirectory* entry);

#endif
