// An image as zymran-check reads it: only its headers, section table, import
// and export data, with the exports kept compact and every imported function
// name numbered once for a run.
#ifndef ZYMRAN_CHECK_IMAGE_INFO_H
#define ZYMRAN_CHECK_IMAGE_INFO_H

#include <stdint.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "pe/mapped.h"

namespace check {

// Function names, each text once for a run: imports refer to them by number.
class Names {
 public:
  uint32_t id(const std::string& text);
  const std::string& text(uint32_t id) const { return *texts_[id]; }

 private:
  std::unordered_map<std::string, uint32_t> ids_;
  std::vector<const std::string*> texts_;
};

// A function as imported: a name's number, or (kByOrdinal set) an ordinal.
typedef uint64_t FunctionKey;
const FunctionKey kByOrdinal = uint64_t(1) << 32;

// What an image imports from one module, as the image names it.
struct ImportedModule {
  std::string name;
  bool delayed = false;
  std::vector<FunctionKey> functions;  // each once, in the order first met
};

// No export of that ordinal.
const int32_t kNoExport = INT32_MIN;

// An image as read from its file: only the headers, section table, import
// and export data are read, and the exports are kept compact.
struct ImageInfo {
  enum class State { Read, Damaged, Wide };
  State state = State::Read;
  std::string error;  // what is damaged and where
  // What is damaged in the delay-load import data, which the loader reads
  // only when that code runs; the delay-load imports are then unknown.
  std::string delayError;
  std::vector<ImportedModule> imports;
  std::string exportNames;  // the names, each ended by a NUL
  // Exports by name: the offset of the name, sorted by the names' bytes, and
  // its forwarder's index, or -1.
  std::vector<std::pair<uint32_t, int32_t>> byName;
  // By ordinal: the entry of ordinal `ordinalBase + i` is byOrdinal[i], its
  // forwarder's index, -1 for a plain export, or kNoExport.
  uint32_t ordinalBase = 0;
  std::vector<int32_t> byOrdinal;
  std::vector<std::string> forwarders;  // "MODULE.Function" or "MODULE.#7"
};

// Reads one image: the headers, the section table, then its import and
// export data. Imported function names are numbered in `names`.
ImageInfo readImage(ImageSource source, Names& names);

}  // namespace check

#endif
