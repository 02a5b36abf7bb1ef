// The stand-in host: module and export lookup over the generated table.
#include "standin.h"

#include "image/modules.h"
#include "platform/platform.h"

HostHandle host::GetModuleHandleA(const char* moduleName) {
  if (moduleName == nullptr) return nullptr;
  for (unsigned i = 0; i < hostModuleCount; ++i)
    if (sameModule(moduleName, hostModules[i].name)) return &hostModules[i];
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
