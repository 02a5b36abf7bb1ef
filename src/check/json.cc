#include "check/json.h"

namespace check {

namespace {

// Whether a byte goes into a JSON string as it is.
bool plain(unsigned char u) { return u >= 0x20 && u < 0x80 && u != '"' && u != '\\'; }

void appendEscaped(std::string* out, unsigned char u) {
  static const char kHex[] = "0123456789abcdef";
  switch (u) {
    case '"': out->append("\\\""); return;
    case '\\': out->append("\\\\"); return;
    case '\b': out->append("\\b"); return;
    case '\f': out->append("\\f"); return;
    case '\n': out->append("\\n"); return;
    case '\r': out->append("\\r"); return;
    case '\t': out->append("\\t"); return;
    default: break;
  }
  if (u < 0x20) {
    const char escape[] = {'\\', 'u', '0', '0', kHex[u >> 4], kHex[u & 0xF]};
    out->append(escape, sizeof escape);
  } else {
    const char twoBytes[] = {static_cast<char>(0xC0 | (u >> 6)), static_cast<char>(0x80 | (u & 0x3F))};
    out->append(twoBytes, sizeof twoBytes);
  }
}

}  // namespace

void appendJsonString(std::string* out, const std::string& text) {
  out->push_back('"');
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* at = run; at < end; ++at) {
    if (plain(static_cast<unsigned char>(*at))) continue;
    out->append(run, static_cast<size_t>(at - run));
    appendEscaped(out, static_cast<unsigned char>(*at));
    run = at + 1;
  }
  out->append(run, static_cast<size_t>(end - run));
  out->push_back('"');
}

void JsonWriter::newline(size_t depth) {
  static const char kBlanks[] = "\n                                                                ";
  const size_t blanks = base_ + depth;
  if (blanks + 1 < sizeof kBlanks) {
    out_->append(kBlanks, blanks + 1);
    return;
  }
  out_->push_back('\n');
  out_->append(blanks, ' ');
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

void JsonWriter::raw(const std::string& serialized) {
  value();
  out_->append(serialized);
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
