// The platform layer under the fuzzers: the image is a buffer in memory,
// standard output is discarded, and a failed internal check returns to the
// fuzzer (which frees what the run allocated) instead of ending the process.
#include "fuzz_platform.h"

#include <stdlib.h>
#include <string.h>

struct File {
  const uint8_t* data;
  size_t size;
  size_t position;
};

namespace {

File memoryFile;
jmp_buf* checkTarget = nullptr;

// Blocks allocated by the current run, so that a run cut short by a failed
// check can be cleaned up.
const int kMaxBlocks = 64;
void* blocks[kMaxBlocks];
int nBlocks = 0;

bool discard(const char*, size_t) { return true; }

}  // namespace

void fuzzOpenImage(const uint8_t* data, size_t size) {
  memoryFile = File{data, size, 0};
  outOpen(discard, false);
}

void fuzzSetCheckTarget(jmp_buf* target) { checkTarget = target; }

void fuzzReleaseAll() {
  for (int i = 0; i < nBlocks; ++i) free(blocks[i]);
  nBlocks = 0;
}

File* fileOpen(const char*) { return &memoryFile; }

uint32_t fileRead(File* file, void* buffer, uint32_t count) {
  const size_t left = file->size - file->position;
  const size_t n = count < left ? count : left;
  if (n > 0) memcpy(buffer, file->data + file->position, n);
  file->position += n;
  return static_cast<uint32_t>(n);
}

bool fileSeek(File* file, uint32_t offset) {
  file->position = offset < file->size ? offset : file->size;
  return true;
}

uint64_t fileSize(const File* file) { return file->size; }

void fileClose(File*) {}

void* memAlloc(size_t size) {
  if (size == 0 || nBlocks == kMaxBlocks) return nullptr;
  void* block = malloc(size);
  if (block != nullptr) blocks[nBlocks++] = block;
  return block;
}

void memFree(void* block) {
  if (block == nullptr) return;
  for (int i = 0; i < nBlocks; ++i) {
    if (blocks[i] == block) {
      blocks[i] = blocks[--nBlocks];
      free(block);
      return;
    }
  }
  abort();  // freeing what was not allocated, or twice
}

bool writeStdErr(const char*, size_t) { return true; }

[[noreturn]] void endProcessNow(int status) {
  if (status != 3 || checkTarget == nullptr) abort();
  longjmp(*checkTarget, 1);
}

void platformStart() {}
