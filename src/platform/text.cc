// The small string helpers of the platform layer: they need nothing of the
// system, so that build helpers can use them too.
#include "platform.h"

size_t textLength(const char* text) {
  size_t n = 0;
  while (text[n] != '\0') ++n;
  return n;
}

void copyBytes(void* to, const void* from, size_t count) {
  // The compiler's own copy; in the Windows build it may become a call of the
  // platform layer's memcpy, which therefore must not call copyBytes.
  __builtin_memcpy(to, from, count);
}

int compareText(const char* a, const char* b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return static_cast<int>(static_cast<unsigned char>(*a)) - static_cast<int>(static_cast<unsigned char>(*b));
}

bool sameIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' || *b != '\0'; ++a, ++b)
    if (upperAscii(*a) != upperAscii(*b)) return false;
  return true;
}

bool sameIgnoringCase(const char* a, size_t aLength, const char* b, size_t bLength) {
  if (aLength != bLength) return false;
  for (size_t i = 0; i < aLength; ++i)
    if (upperAscii(a[i]) != upperAscii(b[i])) return false;
  return true;
}

char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

Note& Note::add(const char* s) {
  for (; *s != '\0' && used + 1 < sizeof text; ++s) text[used++] = *s;
  text[used] = '\0';
  return *this;
}

Note& Note::addHex(uint64_t value) {
  char digits[19] = "0x";
  char reversed[16];
  int n = 0;
  do {
    reversed[n++] = "0123456789ABCDEF"[value & 0xF];
    value >>= 4;
  } while (value != 0 || n < 8);
  for (int i = 0; i < n; ++i) digits[2 + i] = reversed[n - 1 - i];
  digits[2 + n] = '\0';
  return add(digits);
}

Note& Note::addDecimal(uint64_t value) {
  char digits[21];
  char reversed[20];
  int n = 0;
  do {
    reversed[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (int i = 0; i < n; ++i) digits[i] = reversed[n - 1 - i];
  digits[n] = '\0';
  return add(digits);
}
