// The host's own module and export lookup: KERNEL32's functions, as the host
// provides them.
#include <windows.h>

#include "host.h"

HostHandle host::GetModuleHandleA(const char* moduleName) {
  return reinterpret_cast<HostHandle>(::GetModuleHandleA(moduleName));
}

const void* host::GetProcAddress(HostHandle module, const char* symbolName) {
  HMODULE handle = reinterpret_cast<HMODULE>(const_cast<HostModule*>(module));
  // Only whether the symbol is there matters: the module's handle stands for
  // the address, which is never called.
  return ::GetProcAddress(handle, symbolName) != nullptr ? module : nullptr;
}
