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

// The pieces of w[0, n) as ranges, found by scanning from the end.
struct Ranges {
  size_t driveLength;
  size_t dirFrom, dirTo;
  size_t nameFrom, nameTo;
  size_t extFrom, extTo;
};

Ranges scan(const char* w, size_t n) {
  Ranges r = {0, 0, 0, 0, 0, 0, 0};
  size_t end = n;
  bool nameTaken = false;
  bool extensionTaken = false;
  size_t start = 0;  // where the text before the last component begins
  bool done = false;
  for (size_t k = n; k > 0 && !done; --k) {
    const size_t i = k - 1;
    const char c = w[i];
    if (c == '.') {
      if (!nameTaken && i + 1 == end) nameTaken = isDotComponent(w, i);
      if (!nameTaken && !extensionTaken) {
        r.extFrom = i;
        r.extTo = end;
        extensionTaken = true;
        end = i;
      }
    } else if (isSeparator(c)) {
      if (!nameTaken) {
        r.nameFrom = i + 1;
        r.nameTo = end;
        end = i + 1;
        nameTaken = true;
      }
    } else if (c == ':' && i == 1) {
      r.driveLength = 2;
      start = 2;
      done = true;
    }
  }
  if (!nameTaken) {
    r.nameFrom = start;
    r.nameTo = end;
  } else {
    r.dirFrom = start;
    r.dirTo = end;
  }
  return r;
}

const char* skipSpaces(const char* path) {
  while (*path == ' ') ++path;
  return path;
}

// Length of `text`, but no more than `limit`.
size_t lengthUpTo(const char* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

// A piece of text for joining: `length` characters at `text`.
struct Piece {
  const char* text;
  size_t length;
};

Piece wholeText(const char* text) {
  return {text, text == nullptr ? 0 : lengthUpTo(text, static_cast<size_t>(-1))};
}

size_t mergePieces(char* out, size_t outSize, Piece drive, Piece directory, Piece name,
                   Piece extension) {
  size_t length = 0;
  auto put = [&](char c) {
    if (length + 1 < outSize) out[length] = c;
    ++length;
  };
  auto putPiece = [&](Piece piece) {
    for (size_t i = 0; i < piece.length; ++i) put(piece.text[i]);
  };
  if (drive.length != 0) {
    put(drive.text[0]);
    put(':');
  }
  if (directory.length != 0) {
    putPiece(directory);
    if (!isSeparator(directory.text[directory.length - 1])) put('\\');
  }
  putPiece(name);
  if (extension.length != 0) {
    if (extension.text[0] != '.') put('.');
    putPiece(extension);
  }
  if (outSize > 0) out[length < outSize ? length : outSize - 1] = '\0';
  return length;
}

}  // namespace

unsigned splitPath(const char* path, char* drive, char* directory, char* name,
                   char* extension) {
  const char* w = skipSpaces(path);
  const size_t n = lengthUpTo(w, kPathScanLimit);
  const Ranges r = scan(w, n);

  storePiece(drive, kDriveSize, w, 0, r.driveLength);
  storePiece(directory, kPieceSize, w, r.dirFrom, r.dirTo);
  storePiece(name, kPieceSize, w, r.nameFrom, r.nameTo);
  storePiece(extension, kPieceSize, w, r.extFrom, r.extTo);

  // Flags describe the pieces as stored: name and extension are checked for
  // wildcards within their limits.
  char piece[kPieceSize];
  unsigned flags = 0;
  if (r.driveLength != 0) flags |= kHasDrive;
  if (r.dirTo > r.dirFrom) flags |= kHasDirectory;
  if (r.nameTo > r.nameFrom) {
    flags |= kHasName;
    storePiece(piece, sizeof piece, w, r.nameFrom, r.nameTo);
    if (hasWildcard(piece)) flags |= kHasWildcards;
  }
  if (r.extTo > r.extFrom) {
    flags |= kHasExtension;
    storePiece(piece, sizeof piece, w, r.extFrom, r.extTo);
    if (hasWildcard(piece)) flags |= kHasWildcards;
  }
  return flags;
}

size_t mergePath(char* out, size_t outSize, const char* drive, const char* directory,
                 const char* name, const char* extension) {
  return mergePieces(out, outSize, wholeText(drive), wholeText(directory), wholeText(name),
                     wholeText(extension));
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

size_t resolveWholePath(char* out, size_t outSize, const char* argument,
                        const char* defaultExtension, bool force, bool* cut) {
  const char* w = skipSpaces(argument);
  const size_t n = lengthUpTo(w, static_cast<size_t>(-1));
  const Ranges r = scan(w, n);
  const size_t limit = kPieceSize - 1;
  *cut = n > kPathScanLimit || r.dirTo - r.dirFrom > limit || r.nameTo - r.nameFrom > limit ||
         r.extTo - r.extFrom > limit;
  const Piece extension = {w + r.extFrom, r.extTo - r.extFrom};
  return mergePieces(out, outSize, {w, r.driveLength}, {w + r.dirFrom, r.dirTo - r.dirFrom},
                     {w + r.nameFrom, r.nameTo - r.nameFrom},
                     force || extension.length == 0 ? wholeText(defaultExtension) : extension);
}
