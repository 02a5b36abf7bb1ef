// The module-definition reader on arbitrary text: it never reads outside the
// text, every entry it gives can be written back, and the file written from
// what it read reads back the same, names, ordinals and NONAME alike.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "host/deffile.h"

namespace {

void require(bool condition) {
  if (!condition) abort();
}

struct Entry {
  std::string name;
  bool hasOrdinal;
  uint16_t ordinal;
  bool noName;
  bool operator==(const Entry& o) const {
    return name == o.name && hasOrdinal == o.hasOrdinal && ordinal == o.ordinal && noName == o.noName;
  }
};

void collect(void* context, const DefExport& entry) {
  static_cast<std::vector<Entry>*>(context)->push_back(
      {std::string(entry.name.text, entry.name.length), entry.hasOrdinal, entry.ordinal, entry.noName});
}

std::string written(const std::string& name) {
  const DefNameForm form = defNameForm(name.c_str());
  require(form != kDefUnwritable);
  return form == kDefQuoted ? "\"" + name + "\"" : name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A heap block of exactly the text's size, so that a read past it is caught.
  char* text = static_cast<char*>(malloc(size + 1));
  memcpy(text, data, size);
  std::vector<Entry> names;
  DefText module;
  DefFault fault;
  const bool read = readDefinition(text, size, &module, collect, &names, &fault);
  if (!read) {
    require(fault.what.used > 0);
    free(text);
    return 0;
  }
  const std::string moduleName(module.text, module.length);
  require(moduleName.find('\0') == std::string::npos);
  std::string again = "LIBRARY " + written(moduleName) + "\nEXPORTS\n";
  for (const Entry& entry : names) {
    require(entry.name.find('\0') == std::string::npos);
    again += written(entry.name);
    if (entry.hasOrdinal) again += " @" + std::to_string(entry.ordinal);
    if (entry.noName) again += " NONAME";
    again += "\n";
  }
  std::vector<Entry> reread;
  DefText module2;
  require(readDefinition(again.data(), again.size(), &module2, collect, &reread, &fault));
  require(std::string(module2.text, module2.length) == moduleName && reread == names);
  free(text);
  return 0;
}
