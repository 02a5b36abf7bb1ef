#include "check/report.h"

#include <algorithm>
#include <utility>

#include "check/files.h"
#include "check/json.h"


namespace check {

std::string shown(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) {
      out += "\\x";
      out += kDigits[u >> 4];
      out += kDigits[u & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

bool failing(const ModuleResult& m) { return !present(m.kind); }

std::string functionText(const FunctionRef& f) {
  return f.byOrdinal() ? "#" + std::to_string(f.ordinal) : shown(*f.name);
}

std::string neededBy(const std::vector<const std::string*>& names, bool delayed) {
  std::string text = " (needed by ";
  bool first = true;
  for (const std::string* name : names) {
    text += (first ? "" : ", ") + shown(*name);
    first = false;
  }
  return text + (delayed ? "; delayed)" : ")");
}

std::string moduleLine(const ModuleResult& m) {
  std::string what;
  switch (m.kind) {
    case Kind::Emulated: what = "emulated"; break;
    case Kind::NotImplemented: what = "not implemented by the host"; break;
    case Kind::File: what = "file " + shown(*m.file); break;
    case Kind::NotFound: what = "not found"; break;
    case Kind::Unreadable: what = "can't be read, " + shown(*m.file) + ": " + shown(*m.error); break;
    case Kind::Damaged: what = "damaged, " + shown(*m.file) + ": " + shown(*m.error); break;
    case Kind::Wide: what = "64-bit, " + shown(*m.file); break;
  }
  return "  module " + shown(*m.name) + ": " + what + neededBy(m.neededBy, m.delayed) + "\n";
}

std::string verdict(const FunctionResult& f) {
  if (f.moduleKind == Kind::Emulated) return f.found ? "implemented" : "not implemented";
  return f.found ? "found" : "missing";
}

std::string functionLine(const FunctionResult& f) {
  std::string line = "  function " + shown(*f.module) + " " + functionText(f.function) + ": " + verdict(f);
  if (f.note != nullptr) line += ", " + shown(*f.note);
  return line + neededBy({f.neededBy}, f.delayed) + "\n";
}

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

void jsonModule(JsonWriter& json, const ModuleResult& m) {
  json.beginObject();
  json.key("name");
  json.string(*m.name);
  json.key("kind");
  json.string(kindText(m.kind));
  json.key("file");
  json.string(m.file);
  json.key("delayed");
  json.boolean(m.delayed);
  json.key("needed_by");
  json.beginArray();
  for (const std::string* name : m.neededBy) json.string(*name);
  json.endArray();
  json.key("error");
  json.string(m.error);
  json.endObject();
}

void jsonMissing(JsonWriter& json, const FunctionResult& f) {
  json.beginObject();
  json.key("module");
  json.string(*f.module);
  json.key("function");
  json.string(f.function.name);
  json.key("ordinal");
  if (f.function.byOrdinal()) json.number(f.function.ordinal);
  else json.null();
  json.key("needed_by");
  json.string(*f.neededBy);
  json.key("delayed");
  json.boolean(f.delayed);
  json.endObject();
}

void jsonResult(JsonWriter& json, const LoadResult& r) {
  json.beginObject();
  json.key("host");
  json.string(r.host);
  json.key("loads");
  json.boolean(r.loads);
  json.key("error");
  json.string(r.state == ImageState::Checked ? nullptr : &r.error);
  json.key("modules");
  json.beginArray();
  for (const ModuleResult& m : r.modules) jsonModule(json, m);
  json.endArray();
  json.key("missing");
  json.beginArray();
  for (const FunctionResult& f : r.functions)
    if (!f.found) jsonMissing(json, f);
  json.endArray();
  json.endObject();
}

}  // namespace

Report::Report(std::vector<std::string> hosts, bool json, bool all)
    : hosts_(std::move(hosts)), json_(json), all_(all) {}

std::string Report::begin() {
  if (!json_) return "";
  std::string text = "{\n \"format\": \"zymran-check 1\",\n \"hosts\": ";
  JsonWriter json(&text, 1);
  json.beginArray();
  for (const std::string& host : hosts_) json.string(host);
  json.endArray();
  return text + ",\n \"images\": [";
}

std::string Report::add(const std::string& image, const std::vector<LoadResult>& results) {
  ++images_;
  if (json_) {
    // Each image two levels in, as one dump of the whole document would lay
    // it out.
    std::string text = images_ == 1 ? "\n  " : ",\n  ";
    JsonWriter json(&text, 2);
    json.beginObject();
    json.key("image");
    json.string(image);
    json.key("results");
    json.beginArray();
    for (const LoadResult& r : results) jsonResult(json, r);
    json.endArray();
    json.endObject();
    return text;
  }
  std::string out;
  for (size_t h = 0; h < results.size(); ++h) {
    const LoadResult& r = results[h];
    out += shown(image) + " under " + shown(r.host) + (r.loads ? ": loads\n" : ": does not load\n");
    if (r.state != ImageState::Checked) out += "  " + shown(fileName(image)) + ": " + shown(r.error) + "\n";
    size_t delayed = 0;
    for (const ModuleResult& m : r.modules) {
      if (failing(m) && m.delayed) ++delayed;
      if (all_ || failing(m)) out += moduleLine(m);
    }
    for (const FunctionResult& f : r.functions) {
      if (!f.found && f.delayed) ++delayed;
      if (all_ || !f.found) out += functionLine(f);
    }
    if (delayed > 0)
      out += "  " + plural(delayed, "delayed problem", "delayed problems") + ", met only when that code runs\n";
  }
  if (hosts_.size() < 2) return out;
  // The closing table's rows: each function missing under some host, with
  // each host's word for it: missing, delayed (missing when that code
  // runs), found, or "-" where it was not checked.
  for (size_t pass = 0; pass < 2; ++pass) {
    for (size_t h = 0; h < results.size(); ++h) {
      for (const FunctionResult& f : results[h].functions) {
        const auto key = std::make_tuple(image, upperCase(*f.module), *f.neededBy, f.function);
        if (pass == 0) {
          if (f.found) continue;
          Row& row = rows_[key];
          row.label = shown(*f.module) + " " + functionText(f.function);
          row.cells.resize(hosts_.size());
        } else {
          const auto row = rows_.find(key);
          if (row != rows_.end()) row->second.cells[h] = f.found ? "found" : f.delayed ? "delayed" : "missing";
        }
      }
    }
  }
  return out;
}

std::string Report::end() {
  if (json_) return (images_ == 0 ? "]\n}\n" : "\n ]\n}\n");
  if (hosts_.size() < 2 || rows_.empty()) return "";
  const bool images = images_ > 1;
  std::vector<std::vector<std::string>> table;
  std::vector<std::string> header;
  if (images) header.push_back("image");
  header.push_back("function");
  header.push_back("needed by");
  for (const std::string& host : hosts_) header.push_back(shown(host));
  table.push_back(header);
  for (const auto& row : rows_) {
    std::vector<std::string> line;
    if (images) line.push_back(shown(std::get<0>(row.first)));
    line.push_back(row.second.label);
    line.push_back(shown(std::get<2>(row.first)));
    for (const std::string& cell : row.second.cells) line.push_back(cell.empty() ? "-" : cell);
    table.push_back(line);
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto& line : table)
    for (size_t c = 0; c < line.size(); ++c) widths[c] = std::max(widths[c], line[c].size());
  std::string out = "\nFunctions missing under some host:\n";
  for (const auto& line : table) {
    std::string text = " ";
    for (size_t c = 0; c < line.size(); ++c) {
      text += " " + line[c];
      if (c + 1 < line.size()) text += std::string(widths[c] - line[c].size() + 1, ' ');
    }
    out += text + "\n";
  }
  return out;
}

}  // namespace check
