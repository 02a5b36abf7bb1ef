// Host versions for zymran-check: a folder holding the host's emulated
// modules, each as the host's own DLL (KERNEL32.DLL, NTDLL.DLL, USER32.DLL,
// names in any case) or as a module-definition file (kernel32.def, in any
// case), or the profile that the tool was built with.
#ifndef ZYMRAN_CHECK_HOSTS_H
#define ZYMRAN_CHECK_HOSTS_H

#include <string>

#include "check/model.h"

namespace check {

// Reads the host `name` from `folder`. Returns false, with what is wrong in
// `*error`, when the folder can't be read, lacks one of the emulated modules,
// holds two candidates for one, or holds one that can't be read.
bool readHostFolder(const std::string& name, const std::string& folder, Host* host, std::string* error);

// The host "built-in": the profile the tool was built with.
bool builtinHost(Host* host, std::string* error);

}  // namespace check

#endif
