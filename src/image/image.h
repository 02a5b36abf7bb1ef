// Reading a PE32 image: its DOS and PE headers, its section table and the
// ".idata" section, and the import report printed from it.
#ifndef ZYMRAN_IMAGE_H
#define ZYMRAN_IMAGE_H

#include <stdint.h>

#include "host/host.h"
#include "image/modules.h"
#include "pe/pe.h"
#include "platform/platform.h"

// Checks that `stream` (at offset 0) holds a PE image and prints its import
// report. Returns 0 when the report was printed and 1 when the file is not a
// PE image or its import data is damaged.
int checkImage(File* stream);

// Loads the section table, which starts at file offset `tableOffset`, into
// fullHeader, finds the ".idata" entry (idataHdr) and loads its raw data into
// `section`, which the caller releases. Returns false, after its message,
// when the table or the section cannot be read.
bool loadImportSection(File* stream, const PeHeader& hdr, uint64_t tableOffset,
                       Bytes* section);

// Prints the report for one import section, walking the descriptors from
// `firstDescriptor`, an offset in the section. Returns false, after its
// message, when the import data is damaged.
bool reportImports(Bytes section, uint32_t firstDescriptor);

// Prints whether the host implements one function.
void reportFunction(const char* name, HostHandle modHandle);

#endif
