// Whether a text is a well-formed XML document, as far as the reports of
// zymran-check use XML: a prolog, elements with quoted attributes, text with
// the five predefined entities, one root.
#ifndef ZYMRAN_TESTS_XML_CHECK_H
#define ZYMRAN_TESTS_XML_CHECK_H

#include <string>
#include <vector>

namespace xmlcheck {

inline bool isNameChar(char c, bool first) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
         (!first && ((c >= '0' && c <= '9') || c == '-' || c == '.'));
}

// Character data up to `stop`: no '<', entities only the predefined ones, no
// control byte but tab, line feed and carriage return.
inline bool characters(const std::string& s, size_t& at, char stop) {
  static const char* const kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
  while (at < s.size() && s[at] != stop && s[at] != '<') {
    const unsigned char c = static_cast<unsigned char>(s[at]);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return false;
    if (c != '&') {
      ++at;
      continue;
    }
    bool known = false;
    for (const char* entity : kEntities)
      if (s.compare(at, std::string(entity).size(), entity) == 0) {
        at += std::string(entity).size();
        known = true;
        break;
      }
    if (!known) return false;
  }
  return true;
}

inline bool name(const std::string& s, size_t& at, std::string* out) {
  const size_t start = at;
  while (at < s.size() && isNameChar(s[at], at == start)) ++at;
  *out = s.substr(start, at - start);
  return at > start;
}

inline void blanks(const std::string& s, size_t& at) {
  while (at < s.size() && (s[at] == ' ' || s[at] == '\n' || s[at] == '\t' || s[at] == '\r')) ++at;
}

// The element that starts at `at` ('<'), its attributes and whether it is
// empty; pushes an open one.
inline bool startTag(const std::string& s, size_t& at, std::vector<std::string>& open) {
  std::string element;
  ++at;
  if (!name(s, at, &element)) return false;
  for (;;) {
    const size_t before = at;
    blanks(s, at);
    if (s.compare(at, 2, "/>") == 0) {
      at += 2;
      return true;
    }
    if (at < s.size() && s[at] == '>') {
      ++at;
      open.push_back(element);
      return true;
    }
    std::string attribute;
    if (at == before || !name(s, at, &attribute) || s.compare(at, 2, "=\"") != 0) return false;
    at += 2;
    if (!characters(s, at, '"') || at >= s.size() || s[at] != '"') return false;
    ++at;
  }
}

inline bool wellFormed(const std::string& s) {
  size_t at = 0;
  if (s.compare(0, 5, "<?xml") == 0) {
    at = s.find("?>");
    if (at == std::string::npos) return false;
    at += 2;
  }
  std::vector<std::string> open;
  bool root = false;
  for (;;) {
    if (open.empty()) blanks(s, at);
    else if (!characters(s, at, '<')) return false;
    if (at >= s.size()) return open.empty() && root;
    if (s[at] != '<') return false;
    if (s.compare(at, 2, "</") == 0) {
      at += 2;
      std::string element;
      if (!name(s, at, &element) || open.empty() || open.back() != element || at >= s.size() || s[at] != '>')
        return false;
      ++at;
      open.pop_back();
      continue;
    }
    if (open.empty() && root) return false;  // a second root
    root = true;
    if (!startTag(s, at, open)) return false;
  }
}

}  // namespace xmlcheck

#endif
