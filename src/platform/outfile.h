// Files written whole: each is written under a temporary name beside its
// final one and takes the final name only when committed, so that nobody ever
// finds half of it. outfile.cc holds the shared part; outfile_posix.cc and
// outfile_win32.cc the system side. Linked only into the tools that write
// files, so that the tool itself needs nothing of the system to do it.
#ifndef ZYMRAN_OUTFILE_H
#define ZYMRAN_OUTFILE_H

#include <stddef.h>
#include <stdint.h>

#include "platform.h"

struct OutFile;

// Starts the file that will be `path`. Null when the temporary file can't be
// created (no such folder, no permission).
OutFile* outFileCreate(const char* path);
// Adds bytes; a failure is kept and reported by outFileCommit.
void outFileWrite(OutFile* file, const char* bytes, size_t count);
// Closes the file and gives it its final name, replacing any file of that
// name. Returns false, with the temporary file removed, when anything failed.
bool outFileCommit(OutFile* file);
// Closes and removes the temporary file.
void outFileAbandon(OutFile* file);

// ---- System side -----------------------------------------------------------

// Creates a new file, failing if one of that name exists.
SystemFile systemCreateNew(const char* path);
bool systemClose(SystemFile file);
// Renames `from` to `to`, replacing `to`.
bool systemReplace(const char* from, const char* to);
void systemRemove(const char* path);
uint32_t systemProcessId();

#endif
