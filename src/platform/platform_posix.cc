// The run-time conventions over POSIX system calls.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <stdint.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform.h"

namespace {

bool writeStdOut(const char* bytes, size_t count) { return systemWrite(1, bytes, count); }

}  // namespace

struct File {
  int fd;
  uint64_t size;
};

bool systemWrite(SystemFile file, const char* bytes, size_t count) {
  while (count > 0) {
    const ssize_t n = write(static_cast<int>(file), bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    count -= static_cast<size_t>(n);
  }
  return true;
}

bool writeStdErr(const char* bytes, size_t count) { return systemWrite(2, bytes, count); }

[[noreturn]] void endProcessNow(int status) { _exit(status); }

void platformStart() {
  // A reader that goes away must not end the run on a signal: the failed
  // write is reported like any other, and the exit status says so.
  signal(SIGPIPE, SIG_IGN);
  outOpen(writeStdOut, isatty(1) == 1);
}

File* fileOpen(const char* path) {
  // The path follows DOS conventions; here a backslash is a separator too.
  const size_t length = textLength(path);
  char* native = static_cast<char*>(memAlloc(length + 1));
  if (native == nullptr) return nullptr;
  size_t component = 0;  // where the last component starts
  for (size_t i = 0; i <= length; ++i) {
    native[i] = path[i] == '\\' ? '/' : path[i];
    if (native[i] == '/') component = i + 1;
  }
  // As on the host, a last component that ends in full stops and blanks
  // names the file without them: "APP." and "APP . " are the file APP. The
  // components "." and ".." stay.
  size_t end = length;
  const size_t componentLength = length - component;
  const bool dotComponent = (componentLength == 1 && native[component] == '.') ||
                            (componentLength == 2 && native[component] == '.' && native[component + 1] == '.');
  if (!dotComponent)
    while (end > component && (native[end - 1] == '.' || native[end - 1] == ' ')) --end;
  native[end] = '\0';
  File* file = fileOpenNative(native);
  memFree(native);
  return file;
}

bool isNativeSeparator(char c) { return c == '/'; }

File* fileOpenNative(const char* path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below, and
  // it changes nothing for the regular files that are read.
  const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return nullptr;
  }
  File* file = static_cast<File*>(memAlloc(sizeof(File)));
  if (file == nullptr) {
    close(fd);
    return nullptr;
  }
  file->fd = fd;
  file->size = info.st_size < 0 ? 0 : static_cast<uint64_t>(info.st_size);
  return file;
}

uint32_t fileRead(File* file, void* buffer, uint32_t count) {
  char* to = static_cast<char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = read(file->fd, to + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

uint32_t fileReadAt(File* file, uint64_t offset, void* buffer, uint32_t count) {
  char* to = static_cast<char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = pread(file->fd, to + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

bool fileSeek(File* file, uint32_t offset) {
  return lseek(file->fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
}

uint64_t fileSize(const File* file) { return file->size; }

void fileClose(File* file) {
  if (file == nullptr) return;
  close(file->fd);
  memFree(file);
}

namespace {

// Blocks of this size and more are mapped with their pages already present:
// the import section of a large image is filled by one read, without a page
// fault for every 4 KiB of it. Under AddressSanitizer every block comes from
// malloc, so that each one keeps its guard zones.
#if defined(__SANITIZE_ADDRESS__)
const size_t kMapThreshold = SIZE_MAX;
#else
const size_t kMapThreshold = 128 * 1024;
#endif

// In front of every block: its size (for a mapping, the mapping's size) and
// whether it was mapped. Its size is a multiple of the strictest alignment
// (two size_t and padding: 16 bytes on 64-bit and 32-bit systems alike), so
// that each block stays aligned for any type, as malloc's and a mapping's
// start are.
struct alignas(alignof(max_align_t)) BlockHeader {
  size_t size;
  size_t mapped;
};

}  // namespace

void* memAlloc(size_t size) {
  if (size == 0 || size > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
  const size_t total = size + sizeof(BlockHeader);
  BlockHeader* header;
  if (size >= kMapThreshold) {
    void* map = mmap(nullptr, total, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (map == MAP_FAILED) return nullptr;
    header = static_cast<BlockHeader*>(map);
    header->mapped = 1;
  } else {
    header = static_cast<BlockHeader*>(malloc(total));
    if (header == nullptr) return nullptr;
    header->mapped = 0;
  }
  header->size = total;
  return header + 1;
}

void memFree(void* block) {
  if (block == nullptr) return;
  BlockHeader* header = static_cast<BlockHeader*>(block) - 1;
  if (header->mapped == 0) free(header);
  else munmap(header, header->size);
}
