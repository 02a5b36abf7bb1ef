// The two module tables: the modules that are part of the system, and those
// that the host emulates.
#include "image/image.h"

const char* const systemModules[4] = {"KERNEL32.dll", "NTDLL.dll", "USER32.dll", "GDI32.dll"};
const char* const implementedModules[3] = {"KERNEL32.dll", "NTDLL.dll", "USER32.dll"};

namespace {

bool sameIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' || *b != '\0'; ++a, ++b)
    if (upperAscii(*a) != upperAscii(*b)) return false;
  return true;
}

}  // namespace

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
