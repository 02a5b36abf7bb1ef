// Turning the command-line argument into the path of the image to open, with
// DOS path conventions: an optional drive letter and colon, the backslash and
// the slash as separators, and an extension from the last component's last
// full stop.
#ifndef ZYMRAN_PATH_H
#define ZYMRAN_PATH_H

#include <stddef.h>

// Buffer sizes of the four pieces of a path, terminator included.
const size_t kDriveSize = 3;
const size_t kPieceSize = 256;
// Characters of the argument that count, after its leading spaces.
const size_t kPathScanLimit = 260;
// The longest path that resolvePath can produce: a 260-character argument
// without extension, plus ".dll".
const size_t kResolvedMax = 264;

// Flags returned by splitPath.
enum : unsigned {
  kHasDrive = 1u,
  kHasDirectory = 2u,
  kHasName = 4u,
  kHasExtension = 8u,
  kHasWildcards = 16u,  // '*' or '?' in the name or the extension
};

// Splits `path` into drive (kDriveSize bytes), directory, name and extension
// (kPieceSize bytes each). Any output may be null; a present one is cleared
// first. Returns the kHas* flags.
unsigned splitPath(const char* path, char* drive, char* directory, char* name,
                   char* extension);

// Joins the pieces (null counts as empty) into `out`, which holds `outSize`
// bytes. Writes at most outSize - 1 characters and a terminator, and returns
// the length of the whole joined path, which may be more.
size_t mergePath(char* out, size_t outSize, const char* drive, const char* directory,
                 const char* name, const char* extension);

// Resolves `argument`: its extension, or `defaultExtension` when it has none
// or when `force` is set. Same output contract as mergePath.
size_t resolvePath(char* out, size_t outSize, const char* argument,
                   const char* defaultExtension, bool force);

// Resolves `argument` as resolvePath does, but with nothing cut: every
// character after the leading spaces counts and the pieces have no limit.
// Sets `*cut` when resolvePath would cut something (the argument after 260
// characters, or a piece after 255); otherwise both give the same path. Same
// output contract as mergePath.
size_t resolveWholePath(char* out, size_t outSize, const char* argument,
                        const char* defaultExtension, bool force, bool* cut);

#endif
