// The run-time conventions over KERNEL32 alone: no C or C++ run-time library
// is linked, so this file also splits the command line for the program's
// entry point and holds the few memory routines that the compiler may call on
// its own.
#include <windows.h>

#include "cmdline.h"
#include "platform.h"

struct File {
  HANDLE handle;
  uint64_t size;
};

namespace {

bool writeStdOut(const char* bytes, size_t count) {
  return systemWrite(reinterpret_cast<SystemFile>(GetStdHandle(STD_OUTPUT_HANDLE)), bytes, count);
}

}  // namespace

bool systemWrite(SystemFile file, const char* bytes, size_t count) {
  while (count > 0) {
    const DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
    DWORD done = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(file), bytes, chunk, &done, nullptr) || done == 0)
      return false;
    bytes += done;
    count -= done;
  }
  return true;
}

bool writeStdErr(const char* bytes, size_t count) {
  return systemWrite(reinterpret_cast<SystemFile>(GetStdHandle(STD_ERROR_HANDLE)), bytes, count);
}

[[noreturn]] void endProcessNow(int status) {
  ExitProcess(static_cast<UINT>(status));
  for (;;) {
  }
}

void platformStart() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  const bool console = GetFileType(out) == FILE_TYPE_CHAR && GetConsoleMode(out, &mode) != 0;
  outOpen(writeStdOut, console);
}

File* fileOpen(const char* path) {
  const HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  // Only a file on disk: a device such as CON or NUL is refused.
  File* file = GetFileType(handle) == FILE_TYPE_DISK ? static_cast<File*>(memAlloc(sizeof(File))) : nullptr;
  if (file == nullptr) {
    CloseHandle(handle);
    return nullptr;
  }
  // A low half of 0xFFFFFFFF is a size only when the system reports no error.
  DWORD high = 0;
  const DWORD low = GetFileSize(handle, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    CloseHandle(handle);
    memFree(file);
    return nullptr;
  }
  file->handle = handle;
  file->size = (static_cast<uint64_t>(high) << 32) | low;
  return file;
}

File* fileOpenNative(const char* path) { return fileOpen(path); }

bool isNativeSeparator(char c) { return c == '/' || c == '\\'; }

uint32_t fileRead(File* file, void* buffer, uint32_t count) {
  char* to = static_cast<char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    DWORD got = 0;
    if (!ReadFile(file->handle, to + done, count - done, &got, nullptr) || got == 0) break;
    done += got;
  }
  return done;
}

uint32_t fileReadAt(File* file, uint64_t offset, void* buffer, uint32_t count) {
  // On a handle opened for synchronous reads, the offset of an OVERLAPPED
  // record says where the read starts; the call returns when it is done.
  char* to = static_cast<char*>(buffer);
  uint32_t done = 0;
  while (done < count) {
    const uint64_t at = offset + done;
    OVERLAPPED where = {};
    where.Offset = static_cast<DWORD>(at);
    where.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    if (!ReadFile(file->handle, to + done, count - done, &got, &where) || got == 0) break;
    done += got;
  }
  return done;
}

bool fileSeek(File* file, uint32_t offset) {
  // With the high half asked for, the low half is the new position unless it
  // is INVALID_SET_FILE_POINTER and the system reports an error.
  LONG high = 0;
  const DWORD low = SetFilePointer(file->handle, static_cast<LONG>(offset), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  return low == offset && high == 0;
}

uint64_t fileSize(const File* file) { return file->size; }

void fileClose(File* file) {
  if (file == nullptr) return;
  CloseHandle(file->handle);
  memFree(file);
}

void* memAlloc(size_t size) { return size == 0 ? nullptr : HeapAlloc(GetProcessHeap(), 0, size); }

void memFree(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

void startProgram(Program program) {
  const char* line = GetCommandLineA();
  const size_t length = textLength(line);
  char* text = static_cast<char*>(memAlloc(length + 1));
  char** argv = static_cast<char**>(memAlloc((length / 2 + 2) * sizeof(char*)));
  if (text == nullptr || argv == nullptr) ExitProcess(2);
  const int argc = splitCommandLine(line, text, argv);
  endProcessNow(runProgram(program, argc, argv));
}

// What the compiler expects of a C run-time: the memory routines that it may
// emit for copies and fills.
extern "C" {
void* memcpy(void* to, const void* from, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(to);
  const unsigned char* s = static_cast<const unsigned char*>(from);
  for (size_t i = 0; i < count; ++i) d[i] = s[i];
  return to;
}

void* memmove(void* to, const void* from, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(to);
  const unsigned char* s = static_cast<const unsigned char*>(from);
  if (d < s) {
    for (size_t i = 0; i < count; ++i) d[i] = s[i];
  } else {
    for (size_t i = count; i > 0; --i) d[i - 1] = s[i - 1];
  }
  return to;
}

void* memset(void* to, int value, size_t count) {
  unsigned char* d = static_cast<unsigned char*>(to);
  for (size_t i = 0; i < count; ++i) d[i] = static_cast<unsigned char>(value);
  return to;
}

int memcmp(const void* a, const void* b, size_t count) {
  const unsigned char* x = static_cast<const unsigned char*>(a);
  const unsigned char* y = static_cast<const unsigned char*>(b);
  for (size_t i = 0; i < count; ++i)
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  return 0;
}
}
