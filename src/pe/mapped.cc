#include "pe/mapped.h"

#include "pe/names.h"

namespace {

const uint32_t kRawAlignment = 0x200;

uint32_t readFile(void* context, uint32_t offset, void* out, uint32_t count) {
  File* file = static_cast<File*>(context);
  return fileSeek(file, offset) ? fileRead(file, out, count) : 0;
}

uint32_t readBytes(void* context, uint32_t offset, void* out, uint32_t count) {
  const Bytes* bytes = static_cast<const Bytes*>(context);
  if (offset >= bytes->size) return 0;
  const uint32_t n = count < bytes->size - offset ? count : bytes->size - offset;
  copyBytes(out, bytes->data + offset, n);
  return n;
}

// A heap block of `size` bytes read at `offset`; null when nothing could be
// read. Sets `*got` to the bytes read.
uint8_t* readBlock(const ImageSource& source, uint64_t offset, uint64_t size, uint32_t* got) {
  *got = 0;
  if (offset >= source.size || offset > UINT32_MAX) return nullptr;
  if (size > source.size - offset) size = source.size - offset;
  if (size == 0 || size > UINT32_MAX) return nullptr;
  uint8_t* block = static_cast<uint8_t*>(memAlloc(static_cast<size_t>(size)));
  if (block == nullptr) return nullptr;
  *got = source.read(source.context, static_cast<uint32_t>(offset), block, static_cast<uint32_t>(size));
  return block;
}

bool byStart(const void* context, uint32_t a, uint32_t b) {
  const MappedSection* sections = static_cast<const MappedSection*>(context);
  if (sections[a].start != sections[b].start) return sections[a].start < sections[b].start;
  return sections[a].index < sections[b].index;
}

bool notPe(Note* fault, const char* what) {
  fault->add(what);
  return false;
}

// Sorts the sections by address; two whose addresses overlap make the image
// one that the loader refuses.
bool arrangeSections(MappedImage* image, Note* fault) {
  const uint32_t count = image->sectionCount;
  uint32_t* order = static_cast<uint32_t*>(memAlloc(sizeof(uint32_t) * static_cast<size_t>(count)));
  MappedSection* sorted =
      static_cast<MappedSection*>(memAlloc(sizeof(MappedSection) * static_cast<size_t>(count)));
  if (order == nullptr || sorted == nullptr) {
    memFree(order);
    memFree(sorted);
    fault->add("no memory for ").addDecimal(count).add(" sections");
    return false;
  }
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  sortItems(order, count, byStart, image->sections);
  for (uint32_t i = 0; i < count; ++i) sorted[i] = image->sections[order[i]];
  memFree(order);
  memFree(image->sections);
  image->sections = sorted;
  for (uint32_t i = 0; i + 1 < count; ++i) {
    if (sorted[i].end > sorted[i + 1].start) {
      fault->add("section table entry ").addDecimal(sorted[i + 1].index).add(" at address ");
      fault->addHex(sorted[i + 1].start).add(" lies inside the addresses of entry ").addDecimal(sorted[i].index);
      return false;
    }
  }
  return true;
}

}  // namespace

ImageSource fileSource(File* file) { return {file, readFile, fileSize(file)}; }

ImageSource bytesSource(const Bytes* bytes) {
  return {const_cast<Bytes*>(bytes), readBytes, bytes->size};
}

bool mapImage(ImageSource source, MappedImage* image, Note* fault) {
  *image = MappedImage();
  image->source = source;
  uint8_t dos[kDosHeaderSize];
  if (source.size < kDosHeaderSize || source.read(source.context, 0, dos, kDosHeaderSize) != kDosHeaderSize ||
      decodeDosHeader(dos).e_magic != 0x5A4D)
    return notPe(fault, "not a PE image: no DOS header");
  image->e_lfanew = decodeDosHeader(dos).e_lfanew;

  // The PE header up to the end of the optional header, as far as the file
  // holds it; the decoders need its first 0x58 bytes.
  uint8_t fileHeader[kFileHeaderEnd];
  if (source.read(source.context, image->e_lfanew, fileHeader, kFileHeaderEnd) != kFileHeaderEnd ||
      u32At(fileHeader) != 0x00004550) {
    fault->add("not a PE image: no PE header at file offset ").addHex(image->e_lfanew);
    return false;
  }
  const uint64_t peSize = kFileHeaderEnd + static_cast<uint64_t>(u16At(fileHeader + 0x14));
  image->pe = readBlock(source, image->e_lfanew, peSize < 0x58 ? 0x58 : peSize, &image->peSize);
  if (image->peSize < 0x58) {
    unmapImage(image);
    fault->add("not a PE image: no PE header at file offset ").addHex(image->e_lfanew);
    return false;
  }
  image->hdr = decodePeHeader(image->pe);
  if (image->hdr.Magic != kPe32Magic && image->hdr.Magic != kPe32PlusMagic) {
    fault->add("not a PE32 or PE32+ image: optional header magic ").addHex(image->hdr.Magic);
    unmapImage(image);
    return false;
  }

  const uint64_t tableAt = sectionTableOffset(image->e_lfanew, image->hdr);
  const uint64_t tableSize = static_cast<uint64_t>(image->hdr.nObjects) * kSectionEntrySize;
  uint32_t got = 0;
  uint8_t* table = tableSize == 0 ? nullptr : readBlock(source, tableAt, tableSize, &got);
  if (got != tableSize) {
    memFree(table);
    fault->add("section table at file offset ").addHex(tableAt).add(" (");
    fault->addDecimal(image->hdr.nObjects).add(" entries) runs past the end of the file");
    unmapImage(image);
    return false;
  }
  image->sectionCount = image->hdr.nObjects;
  if (image->sectionCount > 0) {
    image->sections = static_cast<MappedSection*>(
        memAlloc(sizeof(MappedSection) * static_cast<size_t>(image->sectionCount)));
    if (image->sections == nullptr) {
      memFree(table);
      fault->add("no memory for ").addDecimal(image->hdr.nObjects).add(" sections");
      unmapImage(image);
      return false;
    }
  }
  for (uint32_t i = 0; i < image->sectionCount; ++i) {
    const SectionEntry entry = decodeSectionEntry(table + static_cast<uint64_t>(i) * kSectionEntrySize);
    MappedSection& section = image->sections[i];
    section = MappedSection();
    const uint32_t virtualSize = entry.VirtualSize != 0 ? entry.VirtualSize : entry.SizeOfRawData;
    section.start = entry.VirtualAddress;
    const uint64_t end = static_cast<uint64_t>(entry.VirtualAddress) + virtualSize;
    section.end = end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end);
    section.fileOffset = entry.PointerToRawData / kRawAlignment * kRawAlignment;
    section.fileSize = entry.VirtualSize != 0 && entry.VirtualSize < entry.SizeOfRawData
                           ? entry.VirtualSize
                           : entry.SizeOfRawData;
    section.index = i;
  }
  memFree(table);
  image->headersSize = image->hdr.SizeOfHeaders;
  if (image->sectionCount > 1 && !arrangeSections(image, fault)) {
    unmapImage(image);
    return false;
  }
  return true;
}

Bytes mappedBytes(MappedImage* image, uint64_t rva) {
  // The section whose range holds the address: the last one starting at or
  // below it, if its range reaches that far.
  uint32_t low = 0;
  uint32_t high = image->sectionCount;
  while (low < high) {
    const uint32_t mid = low + (high - low) / 2;
    if (image->sections[mid].start <= rva) low = mid + 1;
    else high = mid;
  }
  if (low > 0 && rva < image->sections[low - 1].end) {
    MappedSection& section = image->sections[low - 1];
    if (!section.loaded) {
      section.loaded = true;
      // Reads stop at the size of the whole file, however many sections
      // claim the same bytes.
      uint64_t size = section.fileSize;
      const uint64_t left = image->source.size > image->loadedBytes ? image->source.size - image->loadedBytes : 0;
      if (size > left) size = left;
      section.data = readBlock(image->source, section.fileOffset, size, &section.dataSize);
      image->loadedBytes += section.dataSize;
    }
    const Bytes data = {section.data, section.dataSize};
    const uint64_t offset = rva - section.start;
    if (!inBounds(data, offset, 1)) return {nullptr, 0};
    return {section.data + offset, static_cast<uint32_t>(section.dataSize - offset)};
  }
  if (rva >= image->headersSize) return {nullptr, 0};
  if (!image->headersLoaded) {
    image->headersLoaded = true;
    uint32_t got = 0;
    image->headers = readBlock(image->source, 0, image->headersSize, &got);
    image->headersSize = got;
  }
  if (rva >= image->headersSize) return {nullptr, 0};
  return {image->headers + rva, static_cast<uint32_t>(image->headersSize - rva)};
}

bool mappedDirectory(const MappedImage& image, unsigned index, DataDirectory* entry) {
  return dataDirectory({image.pe, image.peSize}, index, entry);
}

void unmapImage(MappedImage* image) {
  for (uint32_t i = 0; i < image->sectionCount && image->sections != nullptr; ++i)
    memFree(image->sections[i].data);
  memFree(image->sections);
  memFree(image->headers);
  memFree(image->pe);
  *image = MappedImage();
}
