// The module-definition reader on arbitrary text: it never reads outside the
// text, every name it gives can be written back, and the file written from
// what it read reads back the same.
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

void collect(void* context, DefText name) {
  static_cast<std::vector<std::string>*>(context)->emplace_back(name.text, name.length);
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
  std::vector<std::string> names;
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
  for (const std::string& name : names) {
    require(name.find('\0') == std::string::npos);
    again += written(name) + "\n";
  }
  std::vector<std::string> reread;
  DefText module2;
  require(readDefinition(again.data(), again.size(), &module2, collect, &reread, &fault));
  require(std::string(module2.text, module2.length) == moduleName && reread == names);
  free(text);
  return 0;
}
