// The host's module and export lookup, the oracle of every report.
//
// Inside the host these are the host's own KERNEL32 functions. Elsewhere the
// stand-in host (standin.cc) answers them from a module table compiled into
// the program from module-definition files.
#ifndef ZYMRAN_HOST_H
#define ZYMRAN_HOST_H

#if defined(_WIN32) && !defined(ZYMRAN_STANDIN_HOST)

#include <windows.h>
typedef HMODULE HostHandle;

#else

// An opaque handle of a loaded module; only whether it is null matters.
typedef const struct HostModule* HostHandle;

// The handle of the loaded module `moduleName`, or null. Names compare
// without regard to ASCII case; a name without an extension gets ".dll".
HostHandle GetModuleHandleA(const char* moduleName);
// Non-null exactly when `module` exports `symbolName` (exact, case-sensitive).
const void* GetProcAddress(HostHandle module, const char* symbolName);

// The module table of the stand-in host, generated from the profile.
struct HostModule {
  const char* name;              // as on the profile's LIBRARY line
  const char* const* exports;    // sorted by byte value
  unsigned exportCount;
};
extern const HostModule hostModules[];
extern const unsigned hostModuleCount;

#endif

#endif
