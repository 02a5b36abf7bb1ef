#include "outfile.h"

#include "platform.h"

struct OutFile {
  SystemFile system;
  File* existing;  // the file of the final name, while it holds what was written so far
  bool failed;
  char* path;
  char* temporary;  // path + "." + process id + ".tmp"
  size_t used;
  char buffer[4096];
};

namespace {

// Whether the next `count` bytes of `existing` are `bytes`.
bool readsTheSame(File* existing, const char* bytes, size_t count) {
  char held[sizeof OutFile::buffer];
  if (fileRead(existing, held, static_cast<uint32_t>(count)) != count) return false;
  for (size_t i = 0; i < count; ++i)
    if (held[i] != bytes[i]) return false;
  return true;
}

void flush(OutFile* file) {
  if (file->used == 0) return;
  if (!systemWrite(file->system, file->buffer, file->used)) file->failed = true;
  if (file->existing != nullptr && !readsTheSame(file->existing, file->buffer, file->used)) {
    fileClose(file->existing);
    file->existing = nullptr;
  }
  file->used = 0;
}

// Releases the record of a closed file; removes the temporary file unless it
// was renamed.
void finish(OutFile* file, bool renamed) {
  fileClose(file->existing);
  if (!renamed) systemRemove(file->temporary);
  memFree(file->path);
  memFree(file);
}

}  // namespace

OutFile* outFileCreate(const char* path) {
  const size_t length = textLength(path);
  OutFile* file = static_cast<OutFile*>(memAlloc(sizeof(OutFile)));
  char* names = static_cast<char*>(memAlloc(2 * length + 32));
  if (file == nullptr || names == nullptr) {
    memFree(file);
    memFree(names);
    return nullptr;
  }
  file->path = names;
  copyBytes(file->path, path, length + 1);
  Note suffix;
  suffix.add(".").addDecimal(systemProcessId()).add(".tmp");
  file->temporary = names + length + 1;
  copyBytes(file->temporary, path, length);
  copyBytes(file->temporary + length, suffix.text, suffix.used + 1);
  file->system = systemCreateFresh(file->temporary);
  if (file->system == kNoSystemFile) {
    memFree(names);
    memFree(file);
    return nullptr;
  }
  file->existing = fileOpenNative(path);
  file->failed = false;
  file->used = 0;
  return file;
}

void outFileWrite(OutFile* file, const char* bytes, size_t count) {
  while (count > 0) {
    if (file->used == sizeof file->buffer) flush(file);
    const size_t room = sizeof file->buffer - file->used;
    const size_t n = count < room ? count : room;
    copyBytes(file->buffer + file->used, bytes, n);
    file->used += n;
    bytes += n;
    count -= n;
  }
}

bool outFileCommit(OutFile* file) {
  flush(file);
  char past;
  const bool unchanged = file->existing != nullptr && fileRead(file->existing, &past, 1) == 0;
  // Closed before the rename: a system that can't replace an open file must.
  fileClose(file->existing);
  file->existing = nullptr;
  const bool written = systemClose(file->system) && !file->failed;
  const bool renamed = written && !unchanged && systemReplace(file->temporary, file->path);
  finish(file, renamed);
  return written && (unchanged || renamed);
}

void outFileAbandon(OutFile* file) {
  systemClose(file->system);
  finish(file, false);
}
