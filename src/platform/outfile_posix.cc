// The system side of files written whole, over POSIX system calls.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "outfile.h"

SystemFile systemCreateNew(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  return fd < 0 ? kNoSystemFile : fd;
}

bool systemClose(SystemFile file) { return close(static_cast<int>(file)) == 0; }

bool systemReplace(const char* from, const char* to) { return rename(from, to) == 0; }

void systemRemove(const char* path) { unlink(path); }

uint32_t systemProcessId() { return static_cast<uint32_t>(getpid()); }
