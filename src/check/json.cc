#include "check/json.h"

namespace check {

void appendJsonString(std::string* out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out->append("\\\""); continue;
      case '\\': out->append("\\\\"); continue;
      case '\b': out->append("\\b"); continue;
      case '\f': out->append("\\f"); continue;
      case '\n': out->append("\\n"); continue;
      case '\r': out->append("\\r"); continue;
      case '\t': out->append("\\t"); continue;
      default: break;
    }
    if (u < 0x20) {
      out->append("\\u00");
      out->push_back(kHex[u >> 4]);
      out->push_back(kHex[u & 0xF]);
    } else if (u < 0x80) {
      out->push_back(c);
    } else {
      out->push_back(static_cast<char>(0xC0 | (u >> 6)));
      out->push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  out->push_back('"');
}

void JsonWriter::newline(size_t depth) {
  out_->push_back('\n');
  out_->append(base_ + depth, ' ');
}

void JsonWriter::value() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (empty_.empty()) return;
  if (!empty_.back()) out_->push_back(',');
  empty_.back() = false;
  newline(empty_.size());
}

void JsonWriter::open(char bracket) {
  value();
  out_->push_back(bracket);
  empty_.push_back(true);
}

void JsonWriter::close(char bracket) {
  const bool empty = empty_.back();
  empty_.pop_back();
  if (!empty) newline(empty_.size());
  out_->push_back(bracket);
}

void JsonWriter::key(const char* name) {
  value();
  out_->push_back('"');
  out_->append(name);
  out_->append("\": ");
  afterKey_ = true;
}

void JsonWriter::string(const std::string& text) {
  value();
  appendJsonString(out_, text);
}

void JsonWriter::string(const std::string* text) {
  if (text == nullptr) null();
  else string(*text);
}

void JsonWriter::null() {
  value();
  out_->append("null");
}

void JsonWriter::boolean(bool flag) {
  value();
  out_->append(flag ? "true" : "false");
}

void JsonWriter::number(uint64_t n) {
  value();
  out_->append(std::to_string(n));
}

}  // namespace check
