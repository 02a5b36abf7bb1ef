#include "pe/mapped.h"

#include "pe/names.h"

namespace {

const uint32_t kRawAlignment = 0x200;
// The file's first bytes are read at once: the DOS and PE headers and, in
// almost every image, the section table and all the headers.
const uint32_t kFirstRead = 4096;

uint32_t readFile(void* context, uint32_t offset, void* out, uint32_t count) {
  return fileReadAt(static_cast<File*>(context), offset, out, count);
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

// Up to `size` bytes at `offset`, as far as the file holds them: inside the
// first bytes when they hold them all, else read into `own`.
Bytes fileBytes(MappedImage* image, uint64_t offset, uint64_t size, Block<uint8_t>* own) {
  const uint64_t fileSize = image->source.size;
  if (offset >= fileSize) return {nullptr, 0};
  if (size > fileSize - offset) size = fileSize - offset;
  const Bytes first = {image->first.get(), image->firstSize};
  if (inBounds(first, offset, size)) return {first.data + offset, static_cast<uint32_t>(size)};
  uint32_t got = 0;
  *own = readBlock(image->source, offset, size, &got);
  return {own->get(), got};
}

bool byStart(const void* context, uint32_t a, uint32_t b) {
  const MappedSection* sections = static_cast<const MappedSection*>(context);
  if (sections[a].start != sections[b].start) return sections[a].start < sections[b].start;
  return sections[a].index < sections[b].index;
}

bool byFileOffset(const void* context, uint32_t a, uint32_t b) {
  const MappedSection* sections = static_cast<const MappedSection*>(context);
  if (sections[a].fileOffset != sections[b].fileOffset) return sections[a].fileOffset < sections[b].fileOffset;
  return a < b;
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

// Joins the file bytes of the sections into ranges, each file byte in one:
// sections whose bytes overlap share a range.
bool joinFileRanges(MappedImage* image, Note* fault) {
  const uint32_t count = image->sectionCount;
  Block<uint32_t> order;
  if (!order.allocate(count) || !image->ranges.allocate(count)) return noMemoryForSections(fault, count);
  for (uint32_t i = 0; i < count; ++i) order[i] = i;
  sortItems(order.get(), count, byFileOffset, image->sections.get());
  uint32_t n = 0;
  for (uint32_t k = 0; k < count; ++k) {
    MappedSection& section = image->sections[order[k]];
    const uint64_t end = static_cast<uint64_t>(section.fileOffset) + section.fileSize;
    if (n > 0 && section.fileOffset < image->ranges[n - 1].end) {
      if (end > image->ranges[n - 1].end) image->ranges[n - 1].end = end;
    } else {
      image->ranges[n++] = {section.fileOffset, end, nullptr, 0, false};
    }
    section.range = n - 1;
  }
  image->rangeCount = n;
  return true;
}

// The DOS header, and the PE header up to the end of the optional header as
// far as the file holds it (the decoders need its first kPeDecodedSize bytes).
bool readPeHeader(MappedImage* image, Note* fault) {
  image->first = readBlock(image->source, 0, kFirstRead, &image->firstSize);
  if (image->firstSize < kDosHeaderSize || decodeDosHeader(image->first.get()).e_magic != kDosMagicValue)
    return notPe(fault, "not a PE image: no DOS header");
  image->e_lfanew = decodeDosHeader(image->first.get()).e_lfanew;
  Block<uint8_t> fileHeaderBlock;
  const Bytes fileHeader = fileBytes(image, image->e_lfanew, kFileHeaderEnd, &fileHeaderBlock);
  if (fileHeader.size != kFileHeaderEnd || u32At(fileHeader.data + kPeSignature) != kPeSignatureValue)
    return noPeHeader(fault, image->e_lfanew);
  const uint64_t peSize = kFileHeaderEnd + static_cast<uint64_t>(u16At(fileHeader.data + kPeSizeOfOptionalHeader));
  image->pe = fileBytes(image, image->e_lfanew, peSize < kPeDecodedSize ? kPeDecodedSize : peSize, &image->peBlock);
  if (image->pe.size < kPeDecodedSize) return noPeHeader(fault, image->e_lfanew);
  image->hdr = decodePeHeader(image->pe.data);
  if (image->hdr.Magic != kPe32Magic && image->hdr.Magic != kPe32PlusMagic) {
    fault->add("not a PE32 or PE32+ image: optional header magic ").addHex(image->hdr.Magic);
    return false;
  }
  return true;
}

// A section as the loader maps it, from its entry in the section table; its
// file bytes end at the end of the file.
MappedSection mappedSection(const SectionEntry& entry, uint32_t index, uint64_t fileSize) {
  MappedSection section = MappedSection();
  const uint32_t virtualSize = entry.VirtualSize != 0 ? entry.VirtualSize : entry.SizeOfRawData;
  section.start = entry.VirtualAddress;
  const uint64_t end = static_cast<uint64_t>(entry.VirtualAddress) + virtualSize;
  section.end = end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end);
  section.fileOffset = entry.PointerToRawData / kRawAlignment * kRawAlignment;
  uint64_t size = entry.VirtualSize != 0 && entry.VirtualSize < entry.SizeOfRawData ? entry.VirtualSize
                                                                                    : entry.SizeOfRawData;
  const uint64_t held = fileSize > section.fileOffset ? fileSize - section.fileOffset : 0;
  if (size > held) size = held;
  section.fileSize = static_cast<uint32_t>(size);
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
  Block<uint8_t> tableBlock;
  const Bytes table = fileBytes(image, tableAt, tableSize, &tableBlock);
  const bool read = table.data != nullptr || tableSize == 0;
  if (!read || !image->sections.allocate(count)) return noMemoryForSections(fault, count);
  if (table.size != tableSize) return tablePastTheEnd(fault, tableAt, count);  // the file shrank
  image->sectionCount = count;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = table.data + static_cast<uint64_t>(i) * kSectionEntrySize;
    image->sections[i] = mappedSection(decodeSectionEntry(entry), i, fileSize);
  }
  return true;
}

// Frees every block that the image holds and empties it.
void release(MappedImage* image) {
  for (uint32_t i = 0; i < image->rangeCount; ++i) memFree(image->ranges[i].data);
  image->ranges = Block<FileRange>();
  image->rangeCount = 0;
  image->sections = Block<MappedSection>();
  image->sectionCount = 0;
  image->first = Block<uint8_t>();
  image->firstSize = 0;
  image->pe = {nullptr, 0};
  image->peBlock = Block<uint8_t>();
  image->headers = {nullptr, 0};
  image->headersBlock = Block<uint8_t>();
  image->headersSize = 0;
  image->headersLoaded = false;
}

// The file bytes of `section`, its range read when first needed.
Bytes sectionBytes(MappedImage* image, const MappedSection& section) {
  FileRange& range = image->ranges[section.range];
  if (!range.loaded) {
    range.loaded = true;
    range.data = readBlock(image->source, range.start, range.end - range.start, &range.got).release();
  }
  const uint64_t at = section.fileOffset - range.start;
  if (at >= range.got) return {nullptr, 0};
  const uint64_t size = range.got - at < section.fileSize ? range.got - at : section.fileSize;
  return {range.data + at, static_cast<uint32_t>(size)};
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
  if (!readPeHeader(image, fault) || !readSectionTable(image, fault) ||
      (image->sectionCount > 1 && !arrangeSections(image, fault)) || !joinFileRanges(image, fault)) {
    release(image);
    return false;
  }
  image->headersSize = image->hdr.SizeOfHeaders;
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
    const MappedSection& section = image->sections[low - 1];
    const Bytes data = sectionBytes(image, section);
    const uint64_t offset = rva - section.start;
    if (!inBounds(data, offset, 1)) return {nullptr, 0};
    return {data.data + offset, static_cast<uint32_t>(data.size - offset)};
  }
  if (rva >= image->headersSize) return {nullptr, 0};
  if (!image->headersLoaded) {
    image->headersLoaded = true;
    image->headers = fileBytes(image, 0, image->headersSize, &image->headersBlock);
    image->headersSize = image->headers.size;
  }
  if (rva >= image->headersSize) return {nullptr, 0};
  return {image->headers.data + rva, static_cast<uint32_t>(image->headersSize - rva)};
}

bool mappedDirectory(const MappedImage& image, unsigned index, DataDirectory* entry) {
  return dataDirectory(image.pe, index, entry);
}

