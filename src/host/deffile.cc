#include "deffile.h"

#include <stdint.h>

namespace {

// The longest line the grammar allows: a name, "=", an internal name, "@",
// an ordinal, NONAME, DATA and PRIVATE.
const unsigned kMaxTokens = 8;

const char* const kKeywords[] = {"LIBRARY", "EXPORTS", "BASE", "NONAME", "DATA", "PRIVATE"};

struct Token {
  const char* text;
  size_t length;
  bool quoted;
};

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

bool isControl(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

bool sameText(const char* a, size_t length, const char* word) {
  size_t i = 0;
  for (; i < length; ++i)
    if (word[i] != a[i]) return false;
  return word[i] == '\0';
}

// Whether `token` is the unquoted word `word`.
bool is(const Token& token, const char* word) {
  return !token.quoted && sameText(token.text, token.length, word);
}

bool isKeyword(const char* text, size_t length) {
  for (const char* keyword : kKeywords)
    if (sameText(text, length, keyword)) return true;
  return false;
}

// A whole number in decimal, or in hexadecimal after "0x", below 2^32.
bool readNumber(const char* text, size_t length, uint64_t* value) {
  unsigned base = 10;
  if (length > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
    length -= 2;
  }
  if (length == 0) return false;
  *value = 0;
  for (size_t i = 0; i < length; ++i) {
    const char c = text[i];
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else return false;
    *value = *value * base + digit;
    if (*value > UINT32_MAX) return false;
  }
  return true;
}

// Splits one line, up to its comment, into words, quoted names and "=".
bool tokenize(const char* line, size_t length, Token* tokens, unsigned* count, Note* why) {
  *count = 0;
  size_t i = 0;
  for (;;) {
    while (i < length && isBlank(line[i])) ++i;
    if (i == length || line[i] == ';') return true;
    if (*count == kMaxTokens) {
      why->add("more words than an entry can have");
      return false;
    }
    Token& token = tokens[(*count)++];
    token.quoted = line[i] == '"';
    size_t end = i + 1;
    if (token.quoted) {
      while (end < length && line[end] != '"') ++end;
      if (end == length) {
        why->add("a quoted name without its closing quote");
        return false;
      }
      token.text = line + i + 1;
      token.length = end - i - 1;
      ++end;
    } else {
      if (line[i] != '=')
        while (end < length && !isBlank(line[end]) && line[end] != '"' && line[end] != ';' &&
               line[end] != '=')
          ++end;
      token.text = line + i;
      token.length = end - i;
    }
    for (size_t k = 0; k < token.length; ++k) {
      if (isControl(token.text[k])) {
        why->add("a control character");
        return false;
      }
    }
    i = end;
  }
}

bool notUnderstood(const Token& token, Note* why) {
  char shown[48];
  size_t n = 0;
  for (; n < token.length && n + 1 < sizeof shown; ++n) shown[n] = token.text[n];
  shown[n] = '\0';
  why->add("not understood: '").add(shown).add(token.length >= sizeof shown ? "...'" : "'");
  return false;
}

// A name: a quoted one, or a word that is not "=" and not an ordinal.
bool isName(const Token& token) {
  return token.quoted || (token.text[0] != '=' && token.text[0] != '@');
}

// The LIBRARY line: `LIBRARY [name] [BASE=number]`.
bool readLibrary(const Token* t, unsigned n, DefText* module, Note* why) {
  unsigned i = 1;
  module->text = nullptr;
  if (i < n && isName(t[i]) && !is(t[i], "BASE")) {
    *module = {t[i].text, t[i].length};
    ++i;
  }
  uint64_t base;
  if (i < n && is(t[i], "BASE")) {
    if (i + 2 >= n || !is(t[i + 1], "=") || !readNumber(t[i + 2].text, t[i + 2].length, &base))
      return notUnderstood(t[i], why);
    i += 3;
  }
  if (i < n) return notUnderstood(t[i], why);
  if (module->text == nullptr) {
    why->add("LIBRARY without a module name");
    return false;
  }
  return true;
}

// One entry: `name[=internal] [@ordinal [NONAME]] [DATA] [PRIVATE]`, where
// the internal name may be a forwarder `module.function`.
bool readEntry(const Token* t, unsigned n, DefExport* entry, Note* why) {
  if (!isName(t[0])) return notUnderstood(t[0], why);
  unsigned i = 1;
  if (i < n && is(t[i], "=")) {
    if (i + 1 == n || !isName(t[i + 1])) {
      why->add("'=' with no name after it");
      return false;
    }
    i += 2;
  }
  *entry = {{t[0].text, t[0].length}, false, 0, false};
  if (i < n && !t[i].quoted && t[i].text[0] == '@') {
    Token ordinal = {t[i].text + 1, t[i].length - 1, false};
    if (ordinal.length == 0 && i + 1 < n) ordinal = t[++i];
    uint64_t value;
    if (ordinal.quoted || !readNumber(ordinal.text, ordinal.length, &value) || value > 0xFFFF) {
      why->add("an ordinal that is not a number from 0 to 65535");
      return false;
    }
    ++i;
    entry->hasOrdinal = true;
    entry->ordinal = static_cast<uint16_t>(value);
    if (i < n && is(t[i], "NONAME")) {
      entry->noName = true;
      ++i;
    }
  }
  while (i < n && (is(t[i], "DATA") || is(t[i], "PRIVATE"))) ++i;
  if (i < n) return notUnderstood(t[i], why);
  return true;
}

}  // namespace

bool readDefinition(const char* text, size_t size, DefText* module, DefExportSink onExport,
                    void* context, DefFault* fault) {
  bool haveLibrary = false;
  bool inExports = false;
  fault->line = 0;
  // A line ends at a carriage return, a line feed, or the two together, as
  // each system writes it.
  for (size_t at = 0; at < size;) {
    size_t end = at;
    while (end < size && !isLineEnd(text[end])) ++end;
    ++fault->line;
    Token t[kMaxTokens];
    unsigned n = 0;
    if (!tokenize(text + at, end - at, t, &n, &fault->what)) return false;
    at = end + 1;
    if (end + 1 < size && text[end] == '\r' && text[end + 1] == '\n') ++at;
    if (n == 0) continue;
    if (is(t[0], "LIBRARY")) {
      if (haveLibrary) {
        fault->what.add("a second LIBRARY line");
        return false;
      }
      if (!readLibrary(t, n, module, &fault->what)) return false;
      haveLibrary = true;
    } else if (is(t[0], "EXPORTS")) {
      if (n > 1) return notUnderstood(t[1], &fault->what);
      inExports = true;
    } else if (!inExports) {
      return notUnderstood(t[0], &fault->what);
    } else {
      DefExport entry;
      if (!readEntry(t, n, &entry, &fault->what)) return false;
      onExport(context, entry);
    }
  }
  if (!haveLibrary) {
    fault->line = 0;
    fault->what.add("no LIBRARY line");
    return false;
  }
  return true;
}

DefNameForm defNameForm(const char* name) {
  DefNameForm form = name[0] == '\0' || name[0] == '@' ? kDefQuoted : kDefWord;
  size_t length = 0;
  for (; name[length] != '\0'; ++length) {
    const char c = name[length];
    if (c == '"' || isControl(c)) return kDefUnwritable;
    if (c == ' ' || c == ';' || c == '=') form = kDefQuoted;
  }
  return isKeyword(name, length) ? kDefQuoted : form;
}
