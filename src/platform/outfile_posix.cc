// The system side of files written whole, over POSIX system calls.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "outfile.h"

SystemFile systemCreateFresh(const char* path) {
  // A leftover of that name is removed, not opened: whatever it is (a file
  // that is read-only, a link to elsewhere) is never written through.
  unlink(path);
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  return fd < 0 ? kNoSystemFile : fd;
}

bool systemClose(SystemFile file) { return close(static_cast<int>(file)) == 0; }

bool systemReplace(const char* from, const char* to) { return rename(from, to) == 0; }

void systemRemove(const char* path) { unlink(path); }

uint32_t systemProcessId() { return static_cast<uint32_t>(getpid()); }
