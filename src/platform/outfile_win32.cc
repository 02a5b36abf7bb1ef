// The system side of files written whole, over KERNEL32.
#include <windows.h>

#include "outfile.h"

SystemFile systemCreateFresh(const char* path) {
  // A leftover of that name is removed first, a read-only one too.
  SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
  DeleteFileA(path);
  const HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle == INVALID_HANDLE_VALUE ? kNoSystemFile : reinterpret_cast<SystemFile>(handle);
}

bool systemClose(SystemFile file) { return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0; }

bool systemReplace(const char* from, const char* to) {
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

void systemRemove(const char* path) { DeleteFileA(path); }

uint32_t systemProcessId() { return GetCurrentProcessId(); }
