#include "pe/imports.h"

#include "pe/names.h"

namespace {

const uint32_t kNoAddress = UINT32_MAX;

struct Descriptor {
  uint32_t address;      // of the descriptor, for messages
  uint32_t nameAddress;
  uint32_t listAddress;
  const uint8_t* list;   // its lookup entries, once counted
  uint32_t entries;      // without the terminating 0
  bool delayed;
  uint32_t base;         // subtracted from its addresses: the image base for a
                         // delay-load descriptor of the old form, else 0
  uint32_t nameRef;      // the module name in the names
};

// An address of the descriptor, as a relative virtual address.
uint32_t relative(uint32_t address, uint32_t base) {
  return address >= base ? address - base : kNoAddress;
}

// Reads the descriptors of one directory into `out` (when not null) and
// counts them in `*count`. As the loader counts them, the ordinary
// descriptors end at the first whose name or address list is 0 (a name with
// neither list is no module); the delay-load ones, which the format lays out
// like them with an empty entry at the end, at the first whose name is 0.
bool readDescriptors(MappedImage* image, bool delayed, Descriptor* out, uint32_t* count, Note* fault) {
  *count = 0;
  DataDirectory directory;
  if (!mappedDirectory(*image, delayed ? kDelayImportDirectory : kImportDirectory, &directory) ||
      directory.VirtualAddress == 0)
    return true;
  const uint32_t size = delayed ? kDelayDescriptorSize : kDescriptorSize;
  const char* what = delayed ? "delay-load import descriptor" : "import descriptor";
  for (uint64_t at = directory.VirtualAddress;; at += size) {
    const Bytes bytes = mappedBytes(image, at);
    if (!inBounds(bytes, 0, size)) return outsideData(fault, what, at);
    const ImportDescriptor record = delayed ? decodeDelayDescriptor(bytes.data) : decodeImportDescriptor(bytes.data);
    Descriptor d = {static_cast<uint32_t>(at), record.Name, record.LookupList, nullptr, 0, delayed, 0, 0};
    // A delay-load descriptor of the old form holds virtual addresses rather
    // than relative ones; an ordinary one without a lookup list is read
    // through its address list.
    if (!record.relative) d.base = image->hdr.ImageBase;
    if (!delayed && d.listAddress == 0) d.listAddress = record.AddressList;
    if (d.nameAddress == 0 || (!delayed && record.AddressList == 0)) return true;
    d.nameAddress = relative(d.nameAddress, d.base);
    d.listAddress = d.listAddress == 0 ? 0 : relative(d.listAddress, d.base);
    if (out != nullptr) out[*count] = d;
    ++*count;
  }
}

// Counts the entries of a descriptor's lookup list.
bool countEntries(MappedImage* image, Descriptor* d, Note* fault) {
  if (d->listAddress == 0) return true;
  const Bytes list = mappedBytes(image, d->listAddress);
  for (uint64_t k = 0;; ++k) {
    uint32_t entry = 0;
    if (!readU32(list, 4 * k, &entry)) return outsideData(fault, "lookup entry", d->listAddress + 4 * k);
    if (entry == 0) break;
    ++d->entries;
  }
  d->list = list.data;
  return true;
}

const char* descriptorName(const Descriptor& d) {
  return d.delayed ? "delay-load import descriptor" : "import descriptor";
}

uintptr_t listStart(const Descriptor& d) { return reinterpret_cast<uintptr_t>(d.list); }

bool byList(const void* context, uint32_t a, uint32_t b) {
  const Descriptor* descriptors = static_cast<const Descriptor*>(context);
  if (listStart(descriptors[a]) != listStart(descriptors[b]))
    return listStart(descriptors[a]) < listStart(descriptors[b]);
  return a < b;
}

// Lookup lists that share entries would have a few bytes stand for the
// imports of many modules: they are refused.
bool listsApart(const Descriptor* descriptors, uint32_t count, uint32_t* order, Note* fault) {
  uint32_t n = 0;
  for (uint32_t i = 0; i < count; ++i)
    if (descriptors[i].entries > 0) order[n++] = i;
  sortItems(order, n, byList, descriptors);
  for (uint32_t k = 1; k < n; ++k) {
    const Descriptor& last = descriptors[order[k - 1]];
    const Descriptor& next = descriptors[order[k]];
    if (listStart(next) < listStart(last) + 4 * (static_cast<uint64_t>(last.entries) + 1)) {
      fault->add("lookup list at address ").addHex(next.listAddress).add(" of the ").add(descriptorName(next));
      fault->add(" at address ").addHex(next.address).add(" shares its entries with the lookup list at address ");
      fault->addHex(last.listAddress).add(" of the ").add(descriptorName(last)).add(" at address ");
      fault->addHex(last.address);
      return false;
    }
  }
  return true;
}

// Reads every module and function name into `names` (module names first, in
// descriptor order, then function names in list order).
bool readNames(MappedImage* image, Descriptor* descriptors, uint32_t count, NameRef* names,
               uint32_t* used, Note* fault) {
  *used = 0;
  NameReader reader = nameReader(image);
  for (uint32_t i = 0; i < count; ++i) {
    descriptors[i].nameRef = *used;
    if (!readName(&reader, descriptors[i].nameAddress, "module name", &names[(*used)++], fault)) return false;
  }
  for (uint32_t i = 0; i < count; ++i) {
    const Descriptor& d = descriptors[i];
    for (uint32_t k = 0; k < d.entries; ++k) {
      const uint32_t entry = u32At(d.list + 4 * static_cast<uint64_t>(k));
      if ((entry & kOrdinalFlag) != 0) continue;
      // The name follows the two bytes of the hint, in 64 bits: an entry at the
      // top of the address space has no name, rather than one at address 0.
      const uint32_t hint = relative(entry, d.base);
      if (!inBounds(mappedBytes(image, hint), 0, 2)) return outsideData(fault, "hint/name entry", hint);
      if (!readName(&reader, static_cast<uint64_t>(hint) + 2, "function name", &names[(*used)++], fault))
        return false;
    }
  }
  return true;
}

// The names read, as a list for internNames.
bool readStoredName(void* context, uint32_t i, NameRef* name, Note*) {
  *name = static_cast<const NameRef*>(context)[i];
  return true;
}

const char* storedNameText(void* context, uint32_t i) { return static_cast<const NameRef*>(context)[i].text; }

bool emit(const Descriptor* descriptors, uint32_t count, const NameRef* names, const NameIds& ids,
          uint32_t firstFunction, ImportSink sink, void* context, Note* fault) {
  uint32_t next = firstFunction;
  for (uint32_t i = 0; i < count; ++i) {
    const Descriptor& d = descriptors[i];
    const char* module = names[d.nameRef].text;
    const uint32_t moduleId = ids.id(d.nameRef);
    if (!sink(context, {module, moduleId, false, nullptr, 0, 0, d.delayed}, fault)) return false;
    for (uint32_t k = 0; k < d.entries; ++k) {
      const uint32_t entry = u32At(d.list + 4 * static_cast<uint64_t>(k));
      Import import = {module, moduleId, true, nullptr, 0, 0, d.delayed};
      if ((entry & kOrdinalFlag) != 0) {
        import.ordinal = static_cast<uint16_t>(entry & 0xFFFF);
      } else {
        import.function = names[next].text;
        import.functionId = ids.id(next);
        ++next;
      }
      if (!sink(context, import, fault)) return false;
    }
  }
  return true;
}

}  // namespace

bool readImports(MappedImage* image, ImportSink sink, void* context, Note* fault) {
  return readImportTables(image, kOrdinaryImports | kDelayLoadImports, sink, context, fault);
}

bool readImportTables(MappedImage* image, unsigned tables, ImportSink sink, void* context, Note* fault) {
  if (image->hdr.Magic != kPe32Magic) {
    fault->add("not a PE32 image: optional header magic ").addHex(image->hdr.Magic);
    return false;
  }
  uint32_t ordinary = 0;
  uint32_t delayed = 0;
  if (((tables & kOrdinaryImports) != 0 && !readDescriptors(image, false, nullptr, &ordinary, fault)) ||
      ((tables & kDelayLoadImports) != 0 && !readDescriptors(image, true, nullptr, &delayed, fault)))
    return false;
  const uint32_t count = ordinary + delayed;
  if (count == 0) return true;

  // Every descriptor and entry lies inside the file's data, so that what is
  // allocated here follows its size.
  Block<Descriptor> descriptors;
  Block<uint32_t> order;
  if (!descriptors.allocate(count) || !order.allocate(count)) {
    fault->add("no memory for ").addDecimal(count).add(" import descriptors");
    return false;
  }
  uint32_t got = 0;
  if ((ordinary > 0 && !readDescriptors(image, false, descriptors.get(), &got, fault)) ||
      (delayed > 0 && !readDescriptors(image, true, descriptors.get() + ordinary, &got, fault)))
    return false;
  uint64_t nameCount = count;
  for (uint32_t i = 0; i < count; ++i) {
    if (!countEntries(image, &descriptors[i], fault)) return false;
    nameCount += descriptors[i].entries;
  }
  if (!listsApart(descriptors.get(), count, order.get(), fault)) return false;
  Block<NameRef> names;
  if (!names.allocate(nameCount)) {
    fault->add("no memory for ").addDecimal(nameCount).add(" imported names");
    return false;
  }
  uint32_t used = 0;
  if (!readNames(image, descriptors.get(), count, names.get(), &used, fault)) return false;
  NameIds ids;
  return internNames({names.get(), used, readStoredName, storedNameText}, used, &ids, fault) &&
         emit(descriptors.get(), count, names.get(), ids, count, sink, context, fault);
}
