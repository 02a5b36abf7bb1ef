// The host's module and export lookup, the oracle of every report.
//
// Inside the host these are the host's own KERNEL32 functions (host_win32.cc).
// Elsewhere the stand-in host (standin.cc) answers them from a module table
// compiled into the program from module-definition files.
#ifndef ZYMRAN_HOST_H
#define ZYMRAN_HOST_H

// An opaque handle of a loaded module; only whether it is null matters.
struct HostModule;
typedef const HostModule* HostHandle;

// The operations keep the host's own names; the namespace keeps them apart
// from the system's declarations where both are seen.
namespace host {

// The handle of the loaded module `moduleName`, or null.
HostHandle GetModuleHandleA(const char* moduleName);
// Non-null exactly when `module` exports `symbolName`.
const void* GetProcAddress(HostHandle module, const char* symbolName);

}  // namespace host

#endif
