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
// created (no such folder, no permission); a file of the temporary name left
// by an earlier run that was killed is replaced.
OutFile* outFileCreate(const char* path);
// Adds bytes; a failure is kept and reported by outFileCommit.
void outFileWrite(OutFile* file, const char* bytes, size_t count);
// Closes the file and gives it its final name, replacing any file of that
// name; a file of that name that holds exactly the same bytes is kept as it
// is, its date included, so that what depends on it is not made again.
// Returns false when anything failed. The temporary file is gone either way.
bool outFileCommit(OutFile* file);
// Closes and removes the temporary file.
void outFileAbandon(OutFile* file);

// ---- System side -----------------------------------------------------------

// Creates a new, empty file for writing, in place of any file of that name.
SystemFile systemCreateFresh(const char* path);
bool systemClose(SystemFile file);
// Renames `from` to `to`, replacing `to`.
bool systemReplace(const char* from, const char* to);
void systemRemove(const char* path);
uint32_t systemProcessId();

#endif
