#include "pe/exports.h"

#include "pe/names.h"

namespace {

// A table of `count` entries of `width` bytes at `address`, which must lie
// inside the file's data.
bool readTable(MappedImage* image, uint32_t address, uint32_t count, uint32_t width, const char* what,
               Bytes* table, Note* fault) {
  *table = count == 0 ? Bytes{nullptr, 0} : mappedBytes(image, address);
  if (count == 0 || inBounds(*table, 0, static_cast<uint64_t>(count) * width)) return true;
  fault->add(what).add(" at address ").addHex(address).add(" (").addDecimal(count);
  fault->add(" entries) lies outside the file's data");
  return false;
}

struct Tables {
  NameReader reader;
  uint32_t base;
  uint32_t functionCount;
  uint32_t nameCount;
  Bytes functions;
  Bytes names;
  Bytes ordinals;
  uint32_t forwardStart;  // the export directory's range: an address inside it forwards
  uint64_t forwardEnd;
};

uint32_t entryAt(const Tables& t, uint32_t k) { return u32At(t.functions.data + 4 * static_cast<uint64_t>(k)); }

uint32_t nameAddressAt(const Tables& t, uint32_t i) { return u32At(t.names.data + 4 * static_cast<uint64_t>(i)); }

bool forwards(const Tables& t, uint32_t address) {
  return address != 0 && address >= t.forwardStart && address < t.forwardEnd;
}

// The names of the exports, as a list: the names in their table's order,
// then each entry of the address table, which holds a forwarder or no name.
bool readExportName(void* context, uint32_t i, NameRef* name, Note* fault) {
  Tables& t = *static_cast<Tables*>(context);
  if (i < t.nameCount) return readName(&t.reader, nameAddressAt(t, i), "export name", name, fault);
  const uint32_t address = entryAt(t, i - t.nameCount);
  if (!forwards(t, address)) {
    name->text = nullptr;
    return true;
  }
  return readName(&t.reader, address, "export forwarder", name, fault);
}

// The forwarder of an entry whose address is `address`, once read; null when
// it does not forward.
const char* forwarderAt(Tables& t, uint32_t address) {
  return forwards(t, address) ? nameText(&t.reader, address) : nullptr;
}

const char* exportNameText(void* context, uint32_t i) {
  Tables& t = *static_cast<Tables*>(context);
  return i < t.nameCount ? nameText(&t.reader, nameAddressAt(t, i)) : forwarderAt(t, entryAt(t, i - t.nameCount));
}

// Hands each export to the sink: each distinct name once, then each entry
// that no name handed on refers to. `named` holds a bit for each entry.
bool walk(Tables& t, const NameIds& names, uint8_t* named, ExportSink sink, void* context, Note* fault) {
  uint32_t next = 0;  // the id of the next name not yet handed on
  for (uint32_t i = 0; i < t.nameCount; ++i) {
    if (names.id(i) != next) continue;
    ++next;
    const uint32_t nameAddress = nameAddressAt(t, i);
    Export entry = {nameText(&t.reader, nameAddress), nameAddress, false, 0, 0, nullptr};
    const uint32_t index = u16At(t.ordinals.data + 2 * static_cast<uint64_t>(i));
    if (index < t.functionCount) {
      named[index / 8] = static_cast<uint8_t>(named[index / 8] | (1u << (index % 8)));
      entry.hasOrdinal = true;
      entry.ordinal = static_cast<uint64_t>(t.base) + index;
      entry.address = entryAt(t, index);
      entry.forwarder = forwarderAt(t, entry.address);
    }
    if (!sink(context, entry, fault)) return false;
  }
  for (uint32_t k = 0; k < t.functionCount; ++k) {
    const uint32_t address = entryAt(t, k);
    if (address == 0 || ((named[k / 8] >> (k % 8)) & 1) != 0) continue;
    const Export entry = {nullptr, 0, true, static_cast<uint64_t>(t.base) + k, address, forwarderAt(t, address)};
    if (!sink(context, entry, fault)) return false;
  }
  return true;
}

}  // namespace

bool readExports(MappedImage* image, ExportSink sink, void* context, Note* fault) {
  bool namesSorted = false;
  return readExportsInOrder(image, sink, context, &namesSorted, fault);
}

bool readExportsInOrder(MappedImage* image, ExportSink sink, void* context, bool* namesSorted, Note* fault) {
  *namesSorted = true;
  DataDirectory directory;
  if (!mappedDirectory(*image, kExportDirectory, &directory) || directory.VirtualAddress == 0)
    return true;
  const Bytes header = mappedBytes(image, directory.VirtualAddress);
  if (!inBounds(header, 0, kExportDirectorySize))
    return outsideData(fault, "export directory", directory.VirtualAddress);
  const ExportDirectory record = decodeExportDirectory(header.data);
  Tables t;
  t.reader = nameReader(image);
  t.base = record.Base;
  t.functionCount = record.NumberOfFunctions;
  t.nameCount = record.NumberOfNames;
  t.forwardStart = directory.VirtualAddress;
  t.forwardEnd = static_cast<uint64_t>(directory.VirtualAddress) + directory.Size;
  if (!readTable(image, record.AddressOfFunctions, t.functionCount, 4, "export address table", &t.functions,
                 fault) ||
      !readTable(image, record.AddressOfNames, t.nameCount, 4, "export name table", &t.names, fault) ||
      !readTable(image, record.AddressOfNameOrdinals, t.nameCount, 2, "export ordinal table", &t.ordinals,
                 fault))
    return false;
  if (t.nameCount == 0 && t.functionCount == 0) return true;

  // Every table lies inside the file's data, at four bytes an entry at
  // least, so that the list's count can't overflow and what is allocated
  // here follows the file's size: nothing for each name when the names come
  // laid out and sorted, and a bit for each entry of the address table.
  NameIds names;
  const NameList list = {&t, t.nameCount + t.functionCount, readExportName, exportNameText};
  if (!internNames(list, t.nameCount, &names, fault)) return false;
  *namesSorted = names.inTextOrder;
  Block<uint8_t> named;
  if (!named.allocate(t.functionCount / 8 + 1)) {
    fault->add("no memory for ").addDecimal(t.functionCount).add(" exports");
    return false;
  }
  for (size_t k = 0; k < named.count(); ++k) named[k] = 0;
  return walk(t, names, named.get(), sink, context, fault);
}
