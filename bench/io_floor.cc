// The I/O floor of a zymran-check run: opens each folder and file that the
// run opens, in the same order, lists each folder and reads each planned byte
// range of each file with pread, and does nothing else. What a run of
// zymran-check costs beyond this floor's is the work of its model and its
// report.
//
//   zymran_io_floor <plan>
//
// The plan, written by bench/io_plan.py, is a sequence of records, read
// whole before any of them is carried out:
//
//   kind       1 byte: 'D' a folder, 'F' a file
//   path       its bytes, then a NUL
//   count      4 bytes, little-endian: the number of ranges that follow
//   ranges     count times: offset and length, 4 bytes each, little-endian
//
// Prints the number of file bytes read (folder listings not counted).
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace {

uint32_t u32At(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

bool readPlan(const char* path, std::vector<uint8_t>* plan) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    perror(path);
    return false;
  }
  plan->resize(static_cast<size_t>(info.st_size));
  size_t done = 0;
  while (done < plan->size()) {
    const ssize_t n = read(fd, plan->data() + done, plan->size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  if (done != plan->size()) {
    fprintf(stderr, "%s: could not be read whole\n", path);
    return false;
  }
  return true;
}

// Lists a folder to its end, as a directory reader does.
bool listFolder(const char* path) {
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  static char entries[32768];
  while (syscall(SYS_getdents64, fd, entries, sizeof entries) > 0) {
  }
  close(fd);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <plan>\n", argv[0]);
    return 2;
  }
  std::vector<uint8_t> plan;
  if (!readPlan(argv[1], &plan)) return 2;
  std::vector<uint8_t> buffer(1 << 16);
  uint64_t total = 0;
  size_t at = 0;
  while (at < plan.size()) {
    const uint8_t kind = plan[at++];
    const char* path = reinterpret_cast<const char*>(plan.data() + at);
    at += strlen(path) + 1;
    const uint32_t count = u32At(plan.data() + at);
    at += 4;
    const uint8_t* ranges = plan.data() + at;
    at += 8 * static_cast<size_t>(count);
    if (kind == 'D') {
      if (!listFolder(path)) {
        perror(path);
        return 1;
      }
      continue;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      perror(path);
      return 1;
    }
    for (uint32_t r = 0; r < count; ++r) {
      const uint32_t offset = u32At(ranges + 8 * r);
      const uint32_t length = u32At(ranges + 8 * r + 4);
      if (length > buffer.size()) buffer.resize(length);
      uint32_t done = 0;
      while (done < length) {
        const ssize_t n = pread(fd, buffer.data() + done, length - done, static_cast<off_t>(offset) + done);
        if (n <= 0) break;
        done += static_cast<uint32_t>(n);
      }
      total += done;
    }
    close(fd);
  }
  printf("%llu\n", static_cast<unsigned long long>(total));
  return 0;
}
