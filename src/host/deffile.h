// Module-definition files, the profile of the stand-in host: one file per
// module, as the mingw-w64 toolchains write and read them.
//
//   LIBRARY "KERNEL32.dll" BASE=0x7C800000   ; the module; quotes and BASE optional
//   EXPORTS
//   GetVersion                               ; one exported name a line
//   HeapAlloc = NTDLL.RtlAllocateHeap        ; a forwarder
//   Internal=_Internal@4 @12 DATA PRIVATE    ; internal name, ordinal, flags
//   Hidden @13 NONAME                        ; ordinal 13, exported by no name
#ifndef ZYMRAN_DEFFILE_H
#define ZYMRAN_DEFFILE_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

// A stretch of the file's text: a name as it stands, without its quotes.
struct DefText {
  const char* text;
  size_t length;
};

// One entry of the EXPORTS list.
struct DefExport {
  DefText name;
  bool hasOrdinal;
  uint16_t ordinal;
  bool noName;  // NONAME: exported by its ordinal alone
};

// Receives each entry, in file order.
typedef void (*DefExportSink)(void* context, const DefExport& entry);

// The first line that is not understood (0 for a file without a LIBRARY
// line) and what is wrong with it.
struct DefFault {
  unsigned line;
  Note what;
};

// Reads the text of one module-definition file: sets `*module` from its
// LIBRARY line and calls `onExport` for every entry. Returns false, with `fault` set, at the first line that
// it does not understand.
bool readDefinition(const char* text, size_t size, DefText* module, DefExportSink onExport,
                    void* context, DefFault* fault);

// How a name is written so that readDefinition gives it back: as it is, or
// between double quotes (for a blank, ';', '=', a leading '@', a keyword, or
// the empty name). A name holding a double quote or a control byte (below
// 0x20, or 0x7F) cannot be written.
enum DefNameForm { kDefWord, kDefQuoted, kDefUnwritable };
DefNameForm defNameForm(const char* name);

#endif
