// The two module tables and the rules for module names.
#include "image/modules.h"

#include "platform/platform.h"

const char* const systemModules[4] = {"KERNEL32.dll", "NTDLL.dll", "USER32.dll", "GDI32.dll"};
const char* const implementedModules[3] = {"KERNEL32.dll", "NTDLL.dll", "USER32.dll"};
const char kDefaultExtension[] = ".dll";

bool isSystemModule(const char* name) {
  for (const char* entry : systemModules)
    if (sameIgnoringCase(name, entry)) return true;
  return false;
}

bool isImplementedModule(const char* name) {
  for (const char* entry : implementedModules)
    if (sameIgnoringCase(name, entry)) return true;
  return false;
}

bool hasExtension(const char* name) {
  bool dot = false;
  for (; *name != '\0'; ++name) {
    if (*name == '\\' || *name == '/') dot = false;
    else if (*name == '.') dot = true;
  }
  return dot;
}

namespace {

// The next byte of a name followed by its suffix; moves on to the suffix at
// the name's end.
char nextByte(const char*& name, const char*& suffix) {
  if (*name == '\0') {
    name = suffix;
    suffix = "";
  }
  return upperAscii(*name);
}

}  // namespace

bool sameModule(const char* a, const char* b) {
  const char* suffixA = hasExtension(a) ? "" : kDefaultExtension;
  const char* suffixB = hasExtension(b) ? "" : kDefaultExtension;
  for (;; ++a, ++b) {
    const char c = nextByte(a, suffixA);
    if (c != nextByte(b, suffixB)) return false;
    if (c == '\0') return true;
  }
}
