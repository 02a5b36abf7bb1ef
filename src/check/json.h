// JSON written straight into one text as a report is made: no document tree,
// no second pass. Laid out as a dump with an indent of one lays it out, each
// line `base` blanks further in; names are bytes, 0x80-0xFF read as the
// characters U+0080-U+00FF, so that every document is valid UTF-8.
#ifndef ZYMRAN_CHECK_JSON_H
#define ZYMRAN_CHECK_JSON_H

#include <stdint.h>

#include <string>
#include <vector>

namespace check {

class JsonWriter {
 public:
  JsonWriter(std::string* out, size_t base) : out_(out), base_(base) {}

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }
  // The key of the next member of an object.
  void key(const char* name);
  void string(const std::string& text);
  void string(const std::string* text);  // null when there is none
  void null();
  void boolean(bool value);
  void number(uint64_t value);
  // A value already written as JSON (by a writer at the same depth).
  void raw(const std::string& serialized);
  // The text to append a value to, written as JSON by the caller, after the
  // separator and indent that come before it.
  std::string& rawValue() {
    value();
    return *out_;
  }
  // How deep the next value stands.
  size_t depth() const { return base_ + empty_.size(); }
  // A member of an object: its key, then its value.
  void field(const char* name, const std::string& text) {
    key(name);
    string(text);
  }
  void field(const char* name, const std::string* text) {
    key(name);
    string(text);
  }
  void flag(const char* name, bool value) {
    key(name);
    boolean(value);
  }

 private:
  void value();  // before each value: the separator and the indent
  void open(char bracket);
  void close(char bracket);
  void newline(size_t depth);

  std::string* out_;
  size_t base_;
  std::vector<unsigned char> empty_;  // whether each open object or array is still empty
  bool afterKey_ = false;
};

// `text` as a JSON string, quotes included.
void appendJsonString(std::string* out, const std::string& text);

}  // namespace check

#endif
