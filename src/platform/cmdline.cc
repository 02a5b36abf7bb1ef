#include "cmdline.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int splitCommandLine(const char* line, char* text, char** argv) {
  int argc = 0;
  const char* p = line;
  char* out = text;
  for (;;) {
    while (isBlank(*p)) ++p;
    if (*p == '\0') break;
    argv[argc++] = out;
    bool quoted = false;
    for (; *p != '\0' && (quoted || !isBlank(*p)); ++p) {
      if (*p == '\\' && p[1] == '"') {
        *out++ = '"';
        ++p;
      } else if (*p == '"') {
        quoted = !quoted;
      } else {
        *out++ = *p;
      }
    }
    *out++ = '\0';
  }
  argv[argc] = nullptr;
  return argc;
}
