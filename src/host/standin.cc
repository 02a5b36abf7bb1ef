// The stand-in host: module and export lookup over the generated table.
#include "standin.h"

#include "platform/platform.h"

namespace {

// Whether the last component of `name` has an extension.
bool hasExtension(const char* name) {
  bool dot = false;
  for (; *name != '\0'; ++name) {
    if (*name == '\\' || *name == '/') dot = false;
    else if (*name == '.') dot = true;
  }
  return dot;
}

// Compares `wanted` + `suffix` with `entry`, without regard to ASCII case.
bool sameModuleName(const char* wanted, const char* suffix, const char* entry) {
  for (; *wanted != '\0'; ++wanted, ++entry)
    if (upperAscii(*wanted) != upperAscii(*entry)) return false;
  for (; *suffix != '\0'; ++suffix, ++entry)
    if (upperAscii(*suffix) != upperAscii(*entry)) return false;
  return *entry == '\0';
}

}  // namespace

HostHandle host::GetModuleHandleA(const char* moduleName) {
  if (moduleName == nullptr) return nullptr;
  const char* suffix = hasExtension(moduleName) ? "" : ".dll";
  for (unsigned i = 0; i < hostModuleCount; ++i)
    if (sameModuleName(moduleName, suffix, hostModules[i].name)) return &hostModules[i];
  return nullptr;
}

const void* host::GetProcAddress(HostHandle module, const char* symbolName) {
  if (module == nullptr || symbolName == nullptr) return nullptr;
  unsigned low = 0;
  unsigned high = module->exportCount;
  while (low < high) {
    const unsigned mid = low + (high - low) / 2;
    const int order = compareText(symbolName, module->exports[mid]);
    if (order == 0) return module->exports[mid];
    if (order < 0) high = mid;
    else low = mid + 1;
  }
  return nullptr;
}
