// The platform layer under the fuzzers: the image is a buffer in memory,
// standard output is discarded, and a failed internal check returns to the
// fuzzer (which frees what the run allocated) instead of ending the process.
#include "fuzz_platform.h"

#include <stdlib.h>
#include <string.h>

#include <vector>

struct File {
  const uint8_t* data;
  size_t size;
  size_t position;
};

namespace {

File memoryFile;
jmp_buf* checkTarget = nullptr;

// Blocks allocated by the current run, so that a run cut short by a failed
// check can be cleaned up. Each block starts with its place in the list, so
// that freeing it takes constant time however many there are.
std::vector<size_t*> blocks;
const size_t kHeader = 16;

bool discard(const char*, size_t) { return true; }

}  // namespace

void fuzzOpenImage(const uint8_t* data, size_t size) {
  memoryFile = File{data, size, 0};
  outOpen(discard, false);
}

void fuzzSetCheckTarget(jmp_buf* target) { checkTarget = target; }

void fuzzReleaseAll() {
  for (size_t* block : blocks) free(block);
  blocks.clear();
}

File* fileOpen(const char*) { return &memoryFile; }

uint32_t fileRead(File* file, void* buffer, uint32_t count) {
  const size_t left = file->size - file->position;
  const size_t n = count < left ? count : left;
  if (n > 0) memcpy(buffer, file->data + file->position, n);
  file->position += n;
  return static_cast<uint32_t>(n);
}

uint32_t fileReadAt(File* file, uint64_t offset, void* buffer, uint32_t count) {
  if (offset >= file->size) return 0;
  const size_t left = file->size - static_cast<size_t>(offset);
  const size_t n = count < left ? count : left;
  memcpy(buffer, file->data + offset, n);
  return static_cast<uint32_t>(n);
}

bool fileSeek(File* file, uint32_t offset) {
  file->position = offset < file->size ? offset : file->size;
  return true;
}

uint64_t fileSize(const File* file) { return file->size; }

void fileClose(File*) {}

bool isNativeSeparator(char c) { return c == '/'; }

void* memAlloc(size_t size) {
  if (size == 0 || size > SIZE_MAX - kHeader) return nullptr;
  size_t* block = static_cast<size_t*>(malloc(size + kHeader));
  if (block == nullptr) return nullptr;
  *block = blocks.size();
  blocks.push_back(block);
  return reinterpret_cast<char*>(block) + kHeader;
}

void memFree(void* pointer) {
  if (pointer == nullptr) return;
  size_t* block = reinterpret_cast<size_t*>(static_cast<char*>(pointer) - kHeader);
  const size_t at = *block;
  // Freeing what was not allocated, or twice.
  if (at >= blocks.size() || blocks[at] != block) abort();
  blocks[at] = blocks.back();
  *blocks[at] = at;
  blocks.pop_back();
  free(block);
}

bool writeStdErr(const char*, size_t) { return true; }

[[noreturn]] void endProcessNow(int status) {
  if (status != 3 || checkTarget == nullptr) abort();
  longjmp(*checkTarget, 1);
}

void platformStart() {}
