// The system-independent half of the run-time conventions: formatted output
// with line-feed translation and the 512-byte buffer, the report of a failed
// internal check, and the normal end of a run.
#include "platform.h"

namespace {

OutSink outSink = nullptr;
bool outConsole = false;
bool outFailed = false;
char outBuffer[kOutBufferSize];
size_t outUsed = 0;

// Width of the "%-40s" field.
const size_t kFieldWidth = 40;

void sinkWrite(const char* bytes, size_t count) {
  if (count == 0) return;
  if (outSink == nullptr || !outSink(bytes, count)) outFailed = true;
}

void flushBuffer() {
  sinkWrite(outBuffer, outUsed);
  outUsed = 0;
}

// Receives the translated bytes of one message. When `spill` is set, a full
// chunk is handed to the sink and the chunk starts again; otherwise bytes that
// do not fit are dropped and `overflowed` is set.
struct Chunk {
  char* bytes;
  size_t size;
  size_t used;
  bool spill;
  bool overflowed;
};

// Adds `count` bytes as they are.
void putBytes(Chunk& chunk, const char* bytes, size_t count) {
  while (count > 0) {
    if (chunk.used == chunk.size) {
      if (!chunk.spill) {
        chunk.overflowed = true;
        return;
      }
      sinkWrite(chunk.bytes, chunk.used);
      chunk.used = 0;
    }
    const size_t room = chunk.size - chunk.used;
    const size_t n = count < room ? count : room;
    copyBytes(chunk.bytes + chunk.used, bytes, n);
    chunk.used += n;
    bytes += n;
    count -= n;
  }
}

// Adds `text` up to its NUL, or up to `stop` when that is not NUL, with every
// line feed as a carriage return and a line feed. Returns the number of bytes
// added (also when there is no chunk) and moves `text` past what it took.
size_t putTranslated(Chunk* chunk, const char*& text, char stop) {
  size_t total = 0;
  for (;;) {
    const char* run = text;
    while (*text != '\0' && *text != '\n' && *text != stop) ++text;
    const size_t n = static_cast<size_t>(text - run);
    if (chunk != nullptr) putBytes(*chunk, run, n);
    total += n;
    if (*text != '\n') return total;
    if (chunk != nullptr) putBytes(*chunk, "\r\n", 2);
    total += 2;
    ++text;
  }
}

// Adds an argument as a console shows it: every control byte (below 0x20, or
// 0x7F) as one '?', so that names from an image cannot move the cursor or
// repaint what is on the screen. Returns the number of bytes added and moves
// `text` to its end.
size_t putMasked(Chunk* chunk, const char*& text) {
  size_t total = 0;
  for (;;) {
    const char* run = text;
    while (*text != '\0' && static_cast<unsigned char>(*text) >= 0x20 && *text != 0x7F) ++text;
    const size_t n = static_cast<size_t>(text - run);
    if (chunk != nullptr) putBytes(*chunk, run, n);
    total += n;
    if (*text == '\0') return total;
    if (chunk != nullptr) putBytes(*chunk, "?", 1);
    ++total;
    ++text;
  }
}

// Length of a conversion at `format` ("%s" or "%-40s"), or 0 if there is none.
size_t conversionLength(const char* format) {
  if (format[0] != '%') return 0;
  if (format[1] == 's') return 2;
  if (format[1] == '-' && format[2] == '4' && format[3] == '0' && format[4] == 's') return 5;
  return 0;
}

// Walks one message: its literal text and its conversions. It writes the
// translated bytes into `chunk`, as far as the chunk takes them, and returns
// their number.
size_t renderMessage(const char* format, const char* arg, Chunk* chunk) {
  static const char kBlanks[kFieldWidth + 1] = "                                        ";
  if (arg == nullptr) arg = "";
  size_t total = 0;
  const char* f = format;
  while (*f != '\0') {
    total += putTranslated(chunk, f, '%');
    if (*f != '%') continue;
    const size_t conv = conversionLength(f);
    if (conv == 0) {  // a lone '%' is written as it is
      if (chunk != nullptr) putBytes(*chunk, f, 1);
      ++total;
      ++f;
      continue;
    }
    const char* a = arg;
    const size_t written = outConsole ? putMasked(chunk, a) : putTranslated(chunk, a, '\0');
    total += written;
    // The field counts characters as given, before translation.
    const size_t length = static_cast<size_t>(a - arg);
    if (conv == 5 && length < kFieldWidth) {
      if (chunk != nullptr) putBytes(*chunk, kBlanks, kFieldWidth - length);
      total += kFieldWidth - length;
    }
    f += conv;
  }
  return total;
}

}  // namespace

void outOpen(OutSink sink, bool console) {
  outSink = sink;
  outConsole = console;
  outFailed = false;
  outUsed = 0;
}

void outPrint(const char* format, const char* arg) {
  size_t length;
  if (!outConsole) {
    // Most messages fit in what is left of the buffer: one pass writes them.
    Chunk rest = {outBuffer + outUsed, kOutBufferSize - outUsed, 0, false, false};
    length = renderMessage(format, arg, &rest);
    if (!rest.overflowed) {
      outUsed += length;
      return;
    }
    // The message would not fit: the buffer is written out before it.
    flushBuffer();
    if (length <= kOutBufferSize) {
      Chunk whole = {outBuffer, kOutBufferSize, 0, false, false};
      renderMessage(format, arg, &whole);
      outUsed = length;
      return;
    }
  } else {
    length = renderMessage(format, arg, nullptr);
  }
  // A console gets each message at once, in one write; so does a message too
  // large for the buffer. Only when no memory can be had for a very long one
  // does it go out in pieces.
  char local[1024];
  char* bytes = local;
  size_t size = sizeof local;
  if (length > size) {
    char* heap = static_cast<char*>(memAlloc(length));
    if (heap != nullptr) {
      bytes = heap;
      size = length;
    }
  }
  Chunk chunk = {bytes, size, 0, true, false};
  renderMessage(format, arg, &chunk);
  sinkWrite(chunk.bytes, chunk.used);
  if (bytes != local) memFree(bytes);
}

bool outClose() {
  flushBuffer();
  return !outFailed;
}

const char* baseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (isNativeSeparator(*p)) base = p + 1;
  return base;
}

int runProgram(Program program, int argc, char** argv) {
  platformStart();
  return platformEnd(program(argc, argv));
}

int platformEnd(int status) {
  if (!outClose()) {
    static const char kMessage[] = "Couldn't write to standard output\r\n";
    writeStdErr(kMessage, sizeof kMessage - 1);
    return 2;
  }
  return status;
}

size_t checkReport(const char* expression, int line, char* report, size_t size) {
  // "\r\nAssertion failed: EXPR, file ZYMRAN, line N\r\n" and then
  // "\r\nAbnormal program termination\r\n".
  static const char kHead[] = "\r\nAssertion failed: ";
  static const char kFile[] = ", file ZYMRAN, line ";
  static const char kTail[] = "\r\n\r\nAbnormal program termination\r\n";
  size_t used = 0;
  auto append = [&](const char* text, size_t count) {
    if (count > size - used) count = size - used;
    copyBytes(report + used, text, count);
    used += count;
  };
  char digits[12];
  size_t nDigits = 0;
  unsigned value = line < 0 ? 0u : static_cast<unsigned>(line);
  do {
    digits[sizeof digits - 1 - nDigits++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  append(kHead, sizeof kHead - 1);
  append(expression, textLength(expression));
  append(kFile, sizeof kFile - 1);
  append(digits + sizeof digits - nDigits, nDigits);
  append(kTail, sizeof kTail - 1);
  return used;
}

[[noreturn]] void checkFailed(const char* expression, int line) {
  char report[512];
  writeStdErr(report, checkReport(expression, line, report, sizeof report));
  endProcessNow(3);
}
