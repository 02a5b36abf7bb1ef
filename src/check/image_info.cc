#include "check/image_info.h"

#include <string.h>

#include <algorithm>

#include "pe/exports.h"
#include "pe/imports.h"

namespace check {

uint32_t Names::id(const std::string& text) {
  const auto found = ids_.find(text);
  if (found != ids_.end()) return found->second;
  const auto added = ids_.emplace(text, static_cast<uint32_t>(texts_.size())).first;
  texts_.push_back(&added->first);
  return added->second;
}

namespace {

// Imports grouped by module name and kind, functions each once. The reader
// numbers every distinct name from 0, so that a name repeated many times is
// looked up in `names` once, and its numbers index plain tables.
// A set of 64-bit keys in one table, found by open addressing: no block a
// key.
class KeySet {
 public:
  // False when the key was in already.
  bool insert(uint64_t key) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const uint64_t stored = key + 1;  // 0 marks a free slot
    const size_t mask = slots_.size() - 1;
    for (size_t at = hash(key) & mask;; at = (at + 1) & mask) {
      if (slots_[at] == stored) return false;
      if (slots_[at] != 0) continue;
      slots_[at] = stored;
      ++used_;
      return true;
    }
  }

 private:
  static size_t hash(uint64_t key) { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> 20); }
  void grow() {
    std::vector<uint64_t> old(slots_.empty() ? 64 : 2 * slots_.size(), 0);
    old.swap(slots_);
    used_ = 0;
    for (const uint64_t stored : old)
      if (stored != 0) insert(stored - 1);
  }
  std::vector<uint64_t> slots_;
  size_t used_ = 0;
};

struct ImportCollector {
  ImageInfo* info;
  Names* names;
  std::vector<uint32_t> groupOf;  // by module name's number and kind: the group plus one, or 0
  std::vector<uint32_t> nameOf;   // by the reader's number: the run's number plus one, or 0
  KeySet seen;                    // the group and the function
};

uint32_t& slot(std::vector<uint32_t>& table, size_t index) {
  if (index >= table.size()) table.resize(index + 1, 0);
  return table[index];
}

bool collectImport(void* context, const Import& entry, Note*) {
  ImportCollector& c = *static_cast<ImportCollector*>(context);
  uint32_t& group = slot(c.groupOf, 2 * static_cast<size_t>(entry.moduleId) + (entry.delayed ? 1 : 0));
  if (group == 0) {
    ImportedModule module;
    module.name = entry.module;
    module.delayed = entry.delayed;
    c.info->imports.push_back(module);
    group = static_cast<uint32_t>(c.info->imports.size());
  }
  if (!entry.isFunction) return true;
  FunctionKey function;
  if (entry.function == nullptr) {
    function = kByOrdinal | entry.ordinal;
  } else {
    uint32_t& name = slot(c.nameOf, entry.functionId);
    if (name == 0) name = c.names->id(entry.function) + 1;
    function = name - 1;
  }
  // A function key takes 33 bits.
  if (c.seen.insert(static_cast<uint64_t>(group - 1) << 33 | function))
    c.info->imports[group - 1].functions.push_back(function);
  return true;
}

struct ExportCollector {
  ImageInfo* info;
  std::vector<std::pair<uint32_t, int32_t>> byName;    // offsets in the order met
  std::vector<std::pair<uint32_t, int32_t>> ordinals;  // in the order met
};

bool collectExport(void* context, const Export& entry, Note*) {
  ExportCollector& c = *static_cast<ExportCollector*>(context);
  if (!entry.hasOrdinal || entry.address == 0) return true;  // nothing the loader could find
  int32_t forwarder = -1;
  if (entry.forwarder != nullptr) {
    forwarder = static_cast<int32_t>(c.info->forwarders.size());
    c.info->forwarders.push_back(entry.forwarder);
  }
  if (entry.name != nullptr) {
    c.byName.emplace_back(static_cast<uint32_t>(c.info->exportNames.size()), forwarder);
    c.info->exportNames.append(entry.name).push_back('\0');
  }
  if (entry.ordinal <= UINT32_MAX) c.ordinals.emplace_back(static_cast<uint32_t>(entry.ordinal), forwarder);
  return true;
}

ImageInfo damaged(const Note& fault) {
  ImageInfo info;
  info.state = ImageInfo::State::Damaged;
  info.error = fault.text;
  return info;
}

}  // namespace

ImageInfo readImage(ImageSource source, Names& names) {
  MappedImage image;
  Note fault;
  if (!mapImage(source, &image, &fault)) return damaged(fault);
  ImageInfo info;
  if (image.hdr.Magic == kPe32PlusMagic) {
    info.state = ImageInfo::State::Wide;
    return info;
  }
  ImportCollector imports{&info, &names, {}, {}, {}};
  ExportCollector exports{&info, {}, {}};
  bool namesSorted = false;
  if (!readImportTables(&image, kOrdinaryImports, collectImport, &imports, &fault) ||
      !readExportsInOrder(&image, collectExport, &exports, &namesSorted, &fault))
    return damaged(fault);
  // The loader reads the delay-load imports only when that code runs: damage
  // there leaves the image as it is, with its delay-load imports unknown.
  ImportCollector delayed{&info, &names, {}, {}, {}};
  Note delayFault;
  if (!readImportTables(&image, kDelayLoadImports, collectImport, &delayed, &delayFault))
    info.delayError = delayFault.text;
  // Names come in the order of the DLL's name table, which is sorted in every
  // DLL a linker wrote: the reader checked that as it read them, and only a
  // table it did not find sorted is sorted here.
  const char* base = info.exportNames.data();
  const auto byText = [base](const std::pair<uint32_t, int32_t>& a, const std::pair<uint32_t, int32_t>& b) {
    return strcmp(base + a.first, base + b.first) < 0;
  };
  if (!namesSorted && !std::is_sorted(exports.byName.begin(), exports.byName.end(), byText))
    std::sort(exports.byName.begin(), exports.byName.end(), byText);
  info.byName = std::move(exports.byName);
  // Ordinals are the base plus an index of the address table, so that a
  // table from the least to the greatest is no larger than that one.
  if (!exports.ordinals.empty()) {
    const auto range = std::minmax_element(exports.ordinals.begin(), exports.ordinals.end());
    info.ordinalBase = range.first->first;
    info.byOrdinal.assign(range.second->first - info.ordinalBase + size_t(1), kNoExport);
    for (const auto& entry : exports.ordinals) info.byOrdinal[entry.first - info.ordinalBase] = entry.second;
  }
  return info;
}

}  // namespace check
