// The names that a DLL exports, read from the whole file in memory, for PE32
// and PE32+ alike: what the host's export lookup finds by name.
#ifndef ZYMRAN_EXPORTS_H
#define ZYMRAN_EXPORTS_H

#include <stdint.h>

#include "image/pe.h"
#include "platform/platform.h"

// Receives one exported name and its relative virtual address. Returns false,
// after describing why in `fault`, to stop the walk.
typedef bool (*ExportNameSink)(void* context, const char* name, uint32_t address, Note* fault);

// Walks the export name table of the image held in `file`, in table order;
// forwarded exports are named there too, exports by ordinal alone are not.
// An image without an export directory exports nothing. Returns false, with
// what is wrong (and where) in `fault`, when the file is not a PE32 or PE32+
// image, its export data lies outside what the file holds, or the sink
// stopped the walk.
bool readExportNames(Bytes file, ExportNameSink sink, void* context, Note* fault);

#endif
