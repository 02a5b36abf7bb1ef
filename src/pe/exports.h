// What a DLL exports, read as the loader maps it, for PE32 and PE32+ alike:
// what the host's export lookup finds by name, and by ordinal.
#ifndef ZYMRAN_EXPORTS_H
#define ZYMRAN_EXPORTS_H

#include <stdint.h>

#include "pe/mapped.h"
#include "platform/platform.h"

// One export: a name of the name table, or an entry of the address table
// that no name refers to.
struct Export {
  const char* name;       // null for an entry that no name refers to
  uint32_t nameAddress;   // where the name stands
  bool hasOrdinal;        // false for a name whose entry lies outside the address table
  uint64_t ordinal;       // the ordinal base plus the entry's index
  uint32_t address;       // the entry's address, 0 for none
  const char* forwarder;  // "MODULE.Function" or "MODULE.#7" when the entry forwards, else null
};

// Receives one export. Returns false, after describing why in `fault`, to stop
// the walk.
typedef bool (*ExportSink)(void* context, const Export& entry, Note* fault);

// Walks the exports of `image`: first each distinct name of the name table,
// once, in the order in which it first appears there (forwarded exports are
// named like any other), then each entry of the address table with a
// non-zero address that no name refers to, in ordinal order. An image
// without an export directory exports nothing. Returns false, with what is
// wrong and where in `fault`, when the export data lies outside the file's
// data, two of its names share bytes, or the sink stopped the walk.
bool readExports(MappedImage* image, ExportSink sink, void* context, Note* fault);

// The same, and `*namesSorted` tells, before the first export is handed on,
// whether the names come sorted by their bytes, as a linker sorts the name
// table (when false they may still be).
bool readExportsInOrder(MappedImage* image, ExportSink sink, void* context, bool* namesSorted, Note* fault);

#endif
