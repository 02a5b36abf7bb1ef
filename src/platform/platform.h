// The run-time conventions that the rest of the tool relies on: the text
// output stream, the internal check, the image file stream, heap buffers and
// the end of the process. platform_posix.cc and platform_win32.cc implement the
// system side; common.cc holds the part that is the same on both.
#ifndef ZYMRAN_PLATFORM_H
#define ZYMRAN_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

// ---- Standard output -------------------------------------------------------

// Writes bytes to wherever standard output goes; returns false on failure.
typedef bool (*OutSink)(const char* bytes, size_t count);

// Size of the output buffer used when standard output is not a console.
const size_t kOutBufferSize = 512;

// Connects the output stream to a sink. A console is unbuffered: every message
// is written at once. Anything else is buffered through kOutBufferSize bytes.
void outOpen(OutSink sink, bool console);

// Formatted print of one message. The format may hold "%s" and "%-40s", each
// taking `arg`; every line feed is written as a carriage return and a line
// feed. "%-40s" pads with blanks to 40 columns and never cuts a longer string.
void outPrint(const char* format, const char* arg = nullptr);

// Writes out what the buffer holds. Returns false if any write to the sink
// has failed since outOpen.
bool outClose();

// ---- Internal checks -------------------------------------------------------

// Reports a failed internal check on the standard-error handle and ends the
// process at once with status 3, flushing nothing.
[[noreturn]] void checkFailed(const char* expression, int line);

// The report of a failed check, in one block of `size` bytes at the most
// (a longer one is cut); returns its length.
size_t checkReport(const char* expression, int line, char* report, size_t size);

// An internal check with its fixed line number and the expression text that
// its report shows.
#define ZCHECK(condition, text, line) \
  ((condition) ? (void)0 : checkFailed((text), (line)))

// ---- Image file stream -----------------------------------------------------

struct File;

// Opens an existing regular file for binary reading. `path` is the resolved
// path as shown to the user. Returns null if it cannot be opened or is not a
// regular file.
File* fileOpen(const char* path);
// The same for a path of the system's own, taken as it is.
File* fileOpenNative(const char* path);
// Whether `c` separates the components of a path of the system's own: '/'
// on POSIX, '/' and '\\' on Windows.
bool isNativeSeparator(char c);
// The last component of a path of the system's own: what follows its last
// separator.
const char* baseName(const char* path);
// Reads up to `count` bytes at the current position; returns the number read
// (fewer at the end of the file or on an error).
uint32_t fileRead(File* file, void* buffer, uint32_t count);
// Moves to `offset` bytes from the start of the file.
bool fileSeek(File* file, uint32_t offset);
// Reads up to `count` bytes at `offset` bytes from the start of the file, in
// one call where the system allows, whatever the current position; returns
// the number read (fewer at the end of the file or on an error).
uint32_t fileReadAt(File* file, uint64_t offset, void* buffer, uint32_t count);
// The file's size in bytes when it was opened.
uint64_t fileSize(const File* file);
void fileClose(File* file);

// ---- Heap ------------------------------------------------------------------

void* memAlloc(size_t size);  // null when size is 0 or memory is short
void memFree(void* block);

// A heap block of `count` records of a plain type T (no constructor runs) that
// frees itself. It moves, and is never copied: one owner at a time.
template <typename T>
class Block {
 public:
  Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  Block(Block&& other) noexcept { swap(other); }
  Block& operator=(Block&& other) noexcept {
    Block gone;
    gone.swap(other);
    swap(gone);
    return *this;
  }
  ~Block() { memFree(items_); }

  // Replaces what the block held with room for `count` records. False, with
  // the block empty, when count times the record size overflows or memory is
  // short; a count of 0 holds nothing and succeeds.
  bool allocate(uint64_t count) {
    memFree(items_);
    items_ = nullptr;
    count_ = 0;
    if (count == 0) return true;
    if (count > SIZE_MAX / sizeof(T)) return false;
    items_ = static_cast<T*>(memAlloc(static_cast<size_t>(count) * sizeof(T)));
    if (items_ == nullptr) return false;
    count_ = static_cast<size_t>(count);
    return true;
  }

  void swap(Block& other) {
    T* items = items_;
    const size_t count = count_;
    items_ = other.items_;
    count_ = other.count_;
    other.items_ = items;
    other.count_ = count;
  }

  // Hands the records to the caller, who frees them with memFree; the block
  // is left empty.
  T* release() {
    T* items = items_;
    items_ = nullptr;
    count_ = 0;
    return items;
  }

  T* get() const { return items_; }
  T& operator[](size_t index) const { return items_[index]; }
  size_t count() const { return count_; }

 private:
  T* items_ = nullptr;
  size_t count_ = 0;
};

// ---- Process ---------------------------------------------------------------

// Connects standard output and prepares the process.
void platformStart();
// Ends the run normally: flushes standard output and turns the program's
// result into the exit status (2 when standard output could not be written).
int platformEnd(int status);

// The program's own function: its command line in, its exit status out.
typedef int (*Program)(int argc, char** argv);
// One run of `program` between platformStart and platformEnd; returns the
// exit status.
int runProgram(Program program, int argc, char** argv);
#if defined(_WIN32)
// Windows: splits the process's command line, runs `program` and ends the
// process with its exit status.
[[noreturn]] void startProgram(Program program);
#endif

// A file of the system's own: a descriptor or a handle.
typedef intptr_t SystemFile;
const SystemFile kNoSystemFile = -1;
// Writes all of `count` bytes; false on failure.
bool systemWrite(SystemFile file, const char* bytes, size_t count);

// Writes to the standard-error handle, unbuffered and untranslated.
bool writeStdErr(const char* bytes, size_t count);

// Ends the process at once with `status`: no exit handlers, no flush.
[[noreturn]] void endProcessNow(int status);

// ---- Small string helpers (no C library needed) ---------------------------

size_t textLength(const char* text);
// Copies `count` bytes; the regions must not overlap.
void copyBytes(void* to, const void* from, size_t count);
// The letter in upper case, for ASCII a-z; any other byte as it is.
char upperAscii(char c);
// Orders two NUL-terminated texts by their bytes, as unsigned values:
// negative, 0 or positive.
int compareText(const char* a, const char* b);
// Whether two texts are equal when ASCII letters are compared without regard
// to case: NUL-terminated, or `aLength` and `bLength` bytes long.
bool sameIgnoringCase(const char* a, const char* b);
bool sameIgnoringCase(const char* a, size_t aLength, const char* b, size_t bLength);

// The text of one message, built piece by piece: what does not fit is
// dropped, and the text is always terminated.
struct Note {
  char text[320];
  size_t used = 0;

  Note& add(const char* s);
  Note& addHex(uint64_t value);  // "0x" and at least eight upper-case digits
  Note& addDecimal(uint64_t value);
};

#endif
