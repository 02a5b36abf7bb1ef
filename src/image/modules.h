// The two module tables and the rules for module names, one place for the
// tool, the stand-in host, the table generator and zymran-check alike.
//
// Module names compare without regard to the case of ASCII letters. A name
// whose last component (after the last '/' or '\') holds no full stop has no
// extension; where a module is looked up by such a name, ".dll" is added, as
// the host's loader adds it.
#ifndef ZYMRAN_MODULES_H
#define ZYMRAN_MODULES_H

#include <stddef.h>

// The modules that are part of the system, and those that the host emulates.
extern const char* const systemModules[4];
extern const char* const implementedModules[3];
bool isSystemModule(const char* name);
bool isImplementedModule(const char* name);

// The extension a module name without one gets.
extern const char kDefaultExtension[];  // ".dll"

// Whether the last component of `name` has an extension.
bool hasExtension(const char* name);

// Whether `a` and `b` name one module: equal without regard to ASCII case,
// each with ".dll" added when it has no extension.
bool sameModule(const char* a, const char* b);

#endif
