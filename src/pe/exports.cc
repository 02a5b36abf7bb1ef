#include "pe/exports.h"

#include "pe/names.h"

namespace {

const uint32_t kNone = UINT32_MAX;

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
  uint32_t base;
  uint32_t functionCount;
  uint32_t nameCount;
  Bytes functions;
  Bytes names;
  Bytes ordinals;
  uint32_t forwardStart;  // the export directory's range: an address inside it forwards
  uint64_t forwardEnd;
};

bool forwards(const Tables& t, uint32_t address) {
  return address >= t.forwardStart && address < t.forwardEnd;
}

// Reads the names and forwarders, makes them distinct, and hands each export
// to the sink. `refs` holds the names first, then the forwarders;
// `forwarderOf` gives an entry's forwarder in `refs`, `named` whether a name
// refers to the entry.
bool walk(MappedImage* image, const Tables& t, NameRef* refs, uint32_t* forwarderOf, bool* named,
          ExportSink sink, void* context, Note* fault) {
  uint32_t count = 0;
  for (uint32_t i = 0; i < t.nameCount; ++i)
    if (!readNameAt(image, u32At(t.names.data + 4 * static_cast<uint64_t>(i)), "export name", &refs[count++],
                  fault))
      return false;
  for (uint32_t k = 0; k < t.functionCount; ++k) {
    const uint32_t address = u32At(t.functions.data + 4 * static_cast<uint64_t>(k));
    forwarderOf[k] = kNone;
    named[k] = false;
    if (address == 0 || !forwards(t, address)) continue;
    if (!readNameAt(image, address, "export forwarder", &refs[count], fault)) return false;
    forwarderOf[k] = count++;
  }
  uint32_t distinct = 0;
  if (!internNames(refs, count, &distinct, fault)) return false;

  uint32_t next = 0;  // the id of the next name not yet handed on
  for (uint32_t i = 0; i < t.nameCount; ++i) {
    if (refs[i].id != next) continue;
    ++next;
    Export entry = {refs[i].text, refs[i].address, false, 0, 0, nullptr};
    const uint32_t index = u16At(t.ordinals.data + 2 * static_cast<uint64_t>(i));
    if (index < t.functionCount) {
      named[index] = true;
      entry.hasOrdinal = true;
      entry.ordinal = static_cast<uint64_t>(t.base) + index;
      entry.address = u32At(t.functions.data + 4 * static_cast<uint64_t>(index));
      if (forwarderOf[index] != kNone) entry.forwarder = refs[forwarderOf[index]].text;
    }
    if (!sink(context, entry, fault)) return false;
  }
  for (uint32_t k = 0; k < t.functionCount; ++k) {
    const uint32_t address = u32At(t.functions.data + 4 * static_cast<uint64_t>(k));
    if (address == 0 || named[k]) continue;
    const Export entry = {nullptr, 0, true, static_cast<uint64_t>(t.base) + k, address,
                          forwarderOf[k] == kNone ? nullptr : refs[forwarderOf[k]].text};
    if (!sink(context, entry, fault)) return false;
  }
  return true;
}

}  // namespace

bool readExports(MappedImage* image, ExportSink sink, void* context, Note* fault) {
  DataDirectory directory;
  if (!mappedDirectory(*image, kExportDirectory, &directory) || directory.VirtualAddress == 0)
    return true;
  const Bytes header = mappedBytes(image, directory.VirtualAddress);
  if (!inBounds(header, 0, kExportDirectorySize))
    return outsideData(fault, "export directory", directory.VirtualAddress);
  const ExportDirectory record = decodeExportDirectory(header.data);
  Tables t;
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

  // Every table lies inside the file's data, so that these follow its size.
  // A name for each entry of the name table and each forwarder, no more.
  uint64_t refCount = t.nameCount;
  for (uint32_t k = 0; k < t.functionCount; ++k) {
    const uint32_t address = u32At(t.functions.data + 4 * static_cast<uint64_t>(k));
    if (address != 0 && forwards(t, address)) ++refCount;
  }
  Block<NameRef> refs;
  Block<uint32_t> forwarderOf;
  Block<bool> named;
  if (!refs.allocate(refCount) || !forwarderOf.allocate(t.functionCount) || !named.allocate(t.functionCount)) {
    fault->add("no memory for ").addDecimal(refCount).add(" exports");
    return false;
  }
  return walk(image, t, refs.get(), forwarderOf.get(), named.get(), sink, context, fault);
}
