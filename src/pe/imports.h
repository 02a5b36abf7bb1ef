// What a PE32 image imports, read as the loader maps it: from the import
// directory wherever it lies (an ".idata" section, ".rdata", any section) and
// from the delay-load import directory; by name and by ordinal.
#ifndef ZYMRAN_IMPORTS_H
#define ZYMRAN_IMPORTS_H

#include <stdint.h>

#include "pe/mapped.h"
#include "platform/platform.h"

// One imported module, or one function imported from it.
struct Import {
  const char* module;    // the module's name as the image holds it
  uint32_t moduleId;     // equal for equal module names, within one walk
  bool isFunction;       // false for the module itself, met once per descriptor
  const char* function;  // null for an import by ordinal
  uint32_t functionId;   // equal for equal function names, within one walk
  uint16_t ordinal;      // of an import by ordinal
  bool delayed;          // from the delay-load import directory
};

// Receives one import. Returns false, after describing why in `fault`, to
// stop the walk.
typedef bool (*ImportSink)(void* context, const Import& entry, Note* fault);

// Walks the imports of the PE32 image `image`: the ordinary ones, descriptor
// by descriptor in file order, then the delay-loaded ones; each descriptor's
// module first (a module is loaded even when no function of it is imported),
// then its functions. Returns false,
// with what is wrong and where in `fault`, when the import data lies outside
// the file's data, two names share bytes, two lookup lists share entries,
// the image is not PE32, or the sink stopped the walk.
bool readImports(MappedImage* image, ImportSink sink, void* context, Note* fault);

// The same for the import tables of `tables`, one or both: the ordinary
// imports, which the loader reads when it loads the image, and the
// delay-load imports, which it reads only when that code runs.
const unsigned kOrdinaryImports = 1;
const unsigned kDelayLoadImports = 2;
bool readImportTables(MappedImage* image, unsigned tables, ImportSink sink, void* context, Note* fault);

#endif
