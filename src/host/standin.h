// The stand-in host's module table, generated from module-definition files by
// the build (tools/make_table.cc). Module names compare without regard to
// ASCII case, and a name without an extension gets ".dll"; export names
// compare exactly.
#ifndef ZYMRAN_STANDIN_H
#define ZYMRAN_STANDIN_H

#include "host/host.h"

struct HostModule {
  const char* name;            // as on the profile's LIBRARY line
  const char* const* exports;  // sorted by byte value, each once
  unsigned exportCount;
};

extern const HostModule hostModules[];
extern const unsigned hostModuleCount;

#endif
