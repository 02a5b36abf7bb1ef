#include "path.h"

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Stores text[from, to) into a piece buffer of `size` bytes, keeping at most
// size - 1 characters.
void storePiece(char* piece, size_t size, const char* text, size_t from, size_t to) {
  if (piece == nullptr) return;
  size_t n = 0;
  for (size_t i = from; i < to && n + 1 < size; ++i) piece[n++] = text[i];
  piece[n] = '\0';
}

// Whether the full stop at position i, the last unassigned character, closes a
// whole component "." or "..", which then belongs to the directory.
bool isDotComponent(const char* w, size_t i) {
  size_t j = i;
  if (i > 0 && w[i - 1] == '.') j = i - 1;
  if (j == 0) return true;
  const char before = w[j - 1];
  return isSeparator(before) || (before == ':' && j - 1 == 1);
}

bool hasWildcard(const char* piece) {
  for (; *piece != '\0'; ++piece)
    if (*piece == '*' || *piece == '?') return true;
  return false;
}

}  // namespace

unsigned splitPath(const char* path, char* drive, char* directory, char* name,
                   char* extension) {
  if (drive != nullptr) drive[0] = '\0';
  if (directory != nullptr) directory[0] = '\0';
  if (name != nullptr) name[0] = '\0';
  if (extension != nullptr) extension[0] = '\0';

  while (*path == ' ') ++path;
  char w[kPathScanLimit];
  size_t n = 0;
  while (n < kPathScanLimit && path[n] != '\0') {
    w[n] = path[n];
    ++n;
  }

  // The pieces are found from the end; their text is kept as ranges of w so
  // that the flags can be worked out whichever outputs are present.
  size_t end = n;
  bool nameTaken = false;
  bool extensionTaken = false;
  size_t driveLength = 0;
  size_t dirFrom = 0, dirTo = 0, nameFrom = 0, nameTo = 0, extFrom = 0, extTo = 0;
  size_t start = 0;  // where the text before the last component begins
  bool done = false;
  for (size_t k = n; k > 0 && !done; --k) {
    const size_t i = k - 1;
    const char c = w[i];
    if (c == '.') {
      if (!nameTaken && i + 1 == end) nameTaken = isDotComponent(w, i);
      if (!nameTaken && !extensionTaken) {
        extFrom = i;
        extTo = end;
        extensionTaken = true;
        end = i;
      }
    } else if (isSeparator(c)) {
      if (!nameTaken) {
        nameFrom = i + 1;
        nameTo = end;
        end = i + 1;
        nameTaken = true;
      }
    } else if (c == ':' && i == 1) {
      driveLength = 2;
      start = 2;
      done = true;
    }
  }
  if (!nameTaken) {
    nameFrom = start;
    nameTo = end;
  } else {
    dirFrom = start;
    dirTo = end;
  }

  storePiece(drive, kDriveSize, w, 0, driveLength);
  storePiece(directory, kPieceSize, w, dirFrom, dirTo);
  storePiece(name, kPieceSize, w, nameFrom, nameTo);
  storePiece(extension, kPieceSize, w, extFrom, extTo);

  // Flags describe the pieces as stored: name and extension are checked for
  // wildcards within their limits.
  char piece[kPieceSize];
  unsigned flags = 0;
  if (driveLength != 0) flags |= kHasDrive;
  if (dirTo > dirFrom) flags |= kHasDirectory;
  if (nameTo > nameFrom) {
    flags |= kHasName;
    storePiece(piece, sizeof piece, w, nameFrom, nameTo);
    if (hasWildcard(piece)) flags |= kHasWildcards;
  }
  if (extTo > extFrom) {
    flags |= kHasExtension;
    storePiece(piece, sizeof piece, w, extFrom, extTo);
    if (hasWildcard(piece)) flags |= kHasWildcards;
  }
  return flags;
}

size_t mergePath(char* out, size_t outSize, const char* drive, const char* directory,
                 const char* name, const char* extension) {
  size_t length = 0;
  auto put = [&](char c) {
    if (length + 1 < outSize) out[length] = c;
    ++length;
  };
  auto putText = [&](const char* text) {
    for (; *text != '\0'; ++text) put(*text);
  };
  if (drive != nullptr && drive[0] != '\0') {
    put(drive[0]);
    put(':');
  }
  if (directory != nullptr && directory[0] != '\0') {
    char last = '\0';
    for (const char* d = directory; *d != '\0'; ++d) last = *d;
    putText(directory);
    if (!isSeparator(last)) put('\\');
  }
  if (name != nullptr) putText(name);
  if (extension != nullptr && extension[0] != '\0') {
    if (extension[0] != '.') put('.');
    putText(extension);
  }
  if (outSize > 0) out[length < outSize ? length : outSize - 1] = '\0';
  return length;
}

size_t resolvePath(char* out, size_t outSize, const char* argument,
                   const char* defaultExtension, bool force) {
  char drive[kDriveSize];
  char directory[kPieceSize];
  char name[kPieceSize];
  char extension[kPieceSize];
  splitPath(argument, drive, directory, name, extension);
  const char* chosen = (force || extension[0] == '\0') ? defaultExtension : extension;
  return mergePath(out, outSize, drive, directory, name, chosen);
}
