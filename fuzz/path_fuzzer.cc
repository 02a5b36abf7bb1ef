// Path resolution on arbitrary argument bytes: the result always fits and is
// terminated, a too small buffer is never written past its end, the pieces
// keep their limits, and resolution with nothing cut agrees with it whenever
// nothing was cut.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "path/path.h"

namespace {

void require(bool condition) {
  if (!condition) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The argument: the bytes up to the first NUL, in a heap block of exactly
  // their size so that any read past the terminator is caught.
  char* argument = static_cast<char*>(malloc(size + 1));
  memcpy(argument, data, size);
  argument[size] = '\0';

  char* drive = static_cast<char*>(malloc(kDriveSize));
  char* directory = static_cast<char*>(malloc(kPieceSize));
  char* name = static_cast<char*>(malloc(kPieceSize));
  char* extension = static_cast<char*>(malloc(kPieceSize));
  const unsigned flags = splitPath(argument, drive, directory, name, extension);
  require(strlen(drive) == 0 || strlen(drive) == 2);
  require(((flags & kHasDrive) != 0) == (drive[0] != '\0'));
  require(((flags & kHasDirectory) != 0) == (directory[0] != '\0'));
  require(((flags & kHasName) != 0) == (name[0] != '\0'));
  require(((flags & kHasExtension) != 0) == (extension[0] != '\0'));
  require(extension[0] == '\0' || extension[0] == '.');

  // The driver's buffer: the longest possible result fits.
  char* whole = static_cast<char*>(malloc(kResolvedMax + 1));
  const size_t length = resolvePath(whole, kResolvedMax + 1, argument, ".dll", false);
  require(length <= kResolvedMax);
  require(strlen(whole) == length);

  // A 260-byte buffer, as the path that can be opened: a longer result is cut,
  // terminated, and agrees with the whole one.
  char* opened = static_cast<char*>(malloc(260));
  const size_t again = resolvePath(opened, 260, argument, ".dll", false);
  require(again == length);
  require(strlen(opened) == (length < 260 ? length : 259));
  require(memcmp(opened, whole, strlen(opened)) == 0);

  // Resolution with nothing cut: the same path whenever nothing was cut, and
  // never shorter than the argument after its leading spaces.
  bool cut = false;
  const size_t wholeLength = resolveWholePath(nullptr, 0, argument, ".dll", false, &cut);
  char* uncut = static_cast<char*>(malloc(wholeLength + 1));
  require(resolveWholePath(uncut, wholeLength + 1, argument, ".dll", false, &cut) == wholeLength);
  require(strlen(uncut) == wholeLength);
  if (!cut) require(wholeLength == length && strcmp(uncut, whole) == 0);
  size_t spaces = 0;
  while (argument[spaces] == ' ') ++spaces;
  require(wholeLength >= strlen(argument + spaces));

  free(uncut);
  free(opened);
  free(whole);
  free(extension);
  free(name);
  free(directory);
  free(drive);
  free(argument);
  return 0;
}
