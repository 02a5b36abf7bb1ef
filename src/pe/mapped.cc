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

// A block of `size` bytes read at `offset`, as far as the file holds them;
// empty when nothing could be read. Sets `*got` to the bytes read.
Block<uint8_t> readBlock(const ImageSource& source, uint64_t offset, uint64_t size, uint32_t* got) {
  *got = 0;
  Block<uint8_t> block;
  if (offset >= source.size || offset > UINT32_MAX) return block;
  if (size > source.size - offset) size = source.size - offset;
  if (size > UINT32_MAX || !block.allocate(size) || size == 0) return block;
  *got = source.read(source.context, static_cast<uint32_t>(offset), block.get(), static_cast<uint32_t>(size));
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

bool noPeHeader(Note* fault, uint32_t e_lfanew) {
  fault->add("not a PE image: no PE header at file offset ").addHex(e_lfanew);
  return false;
}

bool noMemoryForSections(Note* fault, uint32_t count) {
  fault->add("no memory for ").addDecimal(count).add(" sections");
  return false;
}

// Sorts the sections by address; two whose addresses overlap make the image
// one that the loader refuses.
bool arrangeSections(MappedImage* image, Note* fault) {
  const uint32_t count = image->sectionCount;
  Block<uint32_t> order;
  Block<MappedSection> sorted;
  if (!order.allocate(count) || !sorted.allocate(count)) return noMemoryForSections(fault, count);
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  sortItems(order.get(), count, byStart, image->sections.get());
  for (uint32_t i = 0; i < count; ++i) sorted[i] = image->sections[order[i]];
  image->sections.swap(sorted);
  for (uint32_t i = 0; i + 1 < count; ++i) {
    const MappedSection& low = image->sections[i];
    const MappedSection& high = image->sections[i + 1];
    if (low.end > high.start) {
      fault->add("section table entry ").addDecimal(high.index).add(" at address ");
      fault->addHex(high.start).add(" lies inside the addresses of entry ").addDecimal(low.index);
      return false;
    }
  }
  return true;
}

// The DOS header, and the PE header up to the end of the optional header as
// far as the file holds it (the decoders need its first kPeDecodedSize bytes).
bool readPeHeader(MappedImage* image, Note* fault) {
  const ImageSource& source = image->source;
  uint8_t dos[kDosHeaderSize];
  if (source.size < kDosHeaderSize || source.read(source.context, 0, dos, kDosHeaderSize) != kDosHeaderSize ||
      decodeDosHeader(dos).e_magic != kDosMagicValue)
    return notPe(fault, "not a PE image: no DOS header");
  image->e_lfanew = decodeDosHeader(dos).e_lfanew;
  uint8_t fileHeader[kFileHeaderEnd];
  if (source.read(source.context, image->e_lfanew, fileHeader, kFileHeaderEnd) != kFileHeaderEnd ||
      u32At(fileHeader + kPeSignature) != kPeSignatureValue)
    return noPeHeader(fault, image->e_lfanew);
  const uint64_t peSize = kFileHeaderEnd + static_cast<uint64_t>(u16At(fileHeader + kPeSizeOfOptionalHeader));
  image->pe = readBlock(source, image->e_lfanew, peSize < kPeDecodedSize ? kPeDecodedSize : peSize, &image->peSize);
  if (image->peSize < kPeDecodedSize) return noPeHeader(fault, image->e_lfanew);
  image->hdr = decodePeHeader(image->pe.get());
  if (image->hdr.Magic != kPe32Magic && image->hdr.Magic != kPe32PlusMagic) {
    fault->add("not a PE32 or PE32+ image: optional header magic ").addHex(image->hdr.Magic);
    return false;
  }
  return true;
}

// A section as the loader maps it, from its entry in the section table.
MappedSection mappedSection(const SectionEntry& entry, uint32_t index) {
  MappedSection section = MappedSection();
  const uint32_t virtualSize = entry.VirtualSize != 0 ? entry.VirtualSize : entry.SizeOfRawData;
  section.start = entry.VirtualAddress;
  const uint64_t end = static_cast<uint64_t>(entry.VirtualAddress) + virtualSize;
  section.end = end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end);
  section.fileOffset = entry.PointerToRawData / kRawAlignment * kRawAlignment;
  section.fileSize = entry.VirtualSize != 0 && entry.VirtualSize < entry.SizeOfRawData ? entry.VirtualSize
                                                                                        : entry.SizeOfRawData;
  section.index = index;
  return section;
}

bool tablePastTheEnd(Note* fault, uint64_t tableAt, uint32_t count) {
  fault->add("section table at file offset ").addHex(tableAt).add(" (");
  fault->addDecimal(count).add(" entries) runs past the end of the file");
  return false;
}

// Reads the section table into the image's sections.
bool readSectionTable(MappedImage* image, Note* fault) {
  const uint32_t count = image->hdr.nObjects;
  const uint64_t tableAt = sectionTableOffset(image->e_lfanew, image->hdr);
  const uint64_t tableSize = static_cast<uint64_t>(count) * kSectionEntrySize;
  const uint64_t fileSize = image->source.size;
  if (tableAt > fileSize || tableSize > fileSize - tableAt || tableAt + tableSize > UINT32_MAX)
    return tablePastTheEnd(fault, tableAt, count);
  uint32_t got = 0;
  const Block<uint8_t> table = readBlock(image->source, tableAt, tableSize, &got);
  if (table.count() != tableSize || !image->sections.allocate(count)) return noMemoryForSections(fault, count);
  if (got != tableSize) return tablePastTheEnd(fault, tableAt, count);  // the file shrank
  image->sectionCount = count;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = table.get() + static_cast<uint64_t>(i) * kSectionEntrySize;
    image->sections[i] = mappedSection(decodeSectionEntry(entry), i);
  }
  return true;
}

// Frees every block that the image holds and empties it.
void release(MappedImage* image) {
  for (uint32_t i = 0; i < image->sectionCount; ++i) memFree(image->sections[i].data);
  image->sections = Block<MappedSection>();
  image->sectionCount = 0;
  image->pe = Block<uint8_t>();
  image->peSize = 0;
  image->headers = Block<uint8_t>();
  image->headersSize = 0;
  image->headersLoaded = false;
  image->loadedBytes = 0;
}

}  // namespace

MappedImage::~MappedImage() { release(this); }

ImageSource fileSource(File* file) { return {file, readFile, fileSize(file)}; }

ImageSource bytesSource(const Bytes* bytes) {
  return {const_cast<Bytes*>(bytes), readBytes, bytes->size};
}

bool mapImage(ImageSource source, MappedImage* image, Note* fault) {
  release(image);
  image->source = source;
  if (!readPeHeader(image, fault) || !readSectionTable(image, fault)) {
    release(image);
    return false;
  }
  image->headersSize = image->hdr.SizeOfHeaders;
  if (image->sectionCount > 1 && !arrangeSections(image, fault)) {
    release(image);
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
      Block<uint8_t> data = readBlock(image->source, section.fileOffset, size, &section.dataSize);
      section.data = data.release();
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
  return {image->headers.get() + rva, static_cast<uint32_t>(image->headersSize - rva)};
}

bool mappedDirectory(const MappedImage& image, unsigned index, DataDirectory* entry) {
  return dataDirectory({image.pe.get(), image.peSize}, index, entry);
}

void unmapImage(MappedImage* image) { release(image); }
