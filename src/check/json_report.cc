// The JSON report: one document, written image by image.
#include <algorithm>
#include <map>
#include <unordered_map>
#include <utility>

#include "check/json.h"
#include "check/reports.h"

namespace check {

namespace {

// The JSON of what stands in many entries, made once: each name (the model's
// names live as long as the run) and each chain of the result being written.
class Pieces {
 public:
  const std::string& quoted(const std::string* text) {
    std::string& piece = quoted_[text];
    if (piece.empty()) appendJsonString(&piece, *text);
    return piece;
  }

  const std::string& chain(const LoadResult& r, uint32_t index, size_t depth) {
    std::string& piece = chains_[std::make_pair(index, depth)];
    if (!piece.empty()) return piece;
    JsonWriter json(&piece, depth);
    json.beginArray();
    for (const std::string* image : r.chain(index).images) json.raw(quoted(image));
    json.endArray();
    return piece;
  }

  void newResult() { chains_.clear(); }

  // The text around the values of a function entry whose members stand at
  // `depth`: the keys with their indent and separators, one string a gap.
  struct EntryLayout {
    std::string module, function, ordinal, neededBy, delayed, chain, known, close;
  };
  const EntryLayout& layout(size_t depth, bool withModule) {
    EntryLayout& l = layouts_[std::make_pair(depth, withModule)];
    if (!l.close.empty()) return l;
    const std::string indent = "\n" + std::string(depth, ' ') + "\"";
    l.module = "{" + indent + "module\": ";
    l.function = (withModule ? "," : "{") + indent + "function\": ";
    l.ordinal = "," + indent + "ordinal\": ";
    l.neededBy = "," + indent + "needed_by\": ";
    l.delayed = "," + indent + "delayed\": ";
    l.chain = "," + indent + "chain\": ";
    l.known = "," + indent + "known\": ";
    l.close = "\n" + std::string(depth - 1, ' ') + "}";
    return l;
  }

 private:
  std::map<std::pair<size_t, bool>, EntryLayout> layouts_;
  std::unordered_map<const std::string*, std::string> quoted_;
  std::map<std::pair<uint32_t, size_t>, std::string> chains_;
};

void name(JsonWriter& json, Pieces& pieces, const char* key, const std::string* text) {
  json.key(key);
  if (text == nullptr) json.null();
  else json.raw(pieces.quoted(text));
}

void chain(JsonWriter& json, Pieces& pieces, const LoadResult& r, uint32_t index) {
  json.key("chain");
  json.raw(pieces.chain(r, index, json.depth()));
}

// A function entry, written straight from the pieces: there are many.
void function(JsonWriter& json, Pieces& pieces, const LoadResult& r, const FunctionResult& f, bool withModule,
              bool withKnown) {
  const size_t depth = json.depth() + 1;
  const Pieces::EntryLayout& l = pieces.layout(depth, withModule);
  std::string& out = json.rawValue();
  if (withModule) out.append(l.module).append(pieces.quoted(f.module));
  out.append(l.function).append(f.function.byOrdinal() ? "null" : pieces.quoted(f.function.name));
  out.append(l.ordinal).append(f.function.byOrdinal() ? std::to_string(f.function.ordinal) : "null");
  out.append(l.neededBy).append(pieces.quoted(f.neededBy));
  out.append(l.delayed).append(f.delayed ? "true" : "false");
  out.append(l.chain).append(pieces.chain(r, f.chain, depth));
  if (withKnown) out.append(l.known).append(f.known ? "true" : "false");
  out.append(l.close);
}

void module(JsonWriter& json, Pieces& pieces, const LoadResult& r, const ModuleResult& m) {
  json.beginObject();
  name(json, pieces, "name", m.name);
  json.field("kind", kindText(m.kind));
  name(json, pieces, "file", m.file);
  json.flag("delayed", m.delayed);
  json.key("needed_by");
  json.beginArray();
  for (const std::string* needer : m.neededBy) json.raw(pieces.quoted(needer));
  json.endArray();
  name(json, pieces, "error", m.error);
  chain(json, pieces, r, m.chain);
  json.key("functions");
  json.beginArray();
  for (const FunctionResult& f : m.functions) function(json, pieces, r, f, false, false);
  json.endArray();
  json.flag("known", m.known);
  json.endObject();
}

void functions(JsonWriter& json, Pieces& pieces, const LoadResult& r, const char* key, bool found) {
  json.key(key);
  json.beginArray();
  for (const FunctionResult& f : r.functions)
    if (f.found == found) function(json, pieces, r, f, true, true);
  json.endArray();
}

void delayDamage(JsonWriter& json, Pieces& pieces, const LoadResult& r) {
  json.key("delay_load_damage");
  json.beginArray();
  for (const DelayDamage& d : r.delayDamage) {
    json.beginObject();
    name(json, pieces, "image", d.image);
    name(json, pieces, "file", d.file);
    name(json, pieces, "error", d.error);
    chain(json, pieces, r, d.chain);
    json.flag("known", d.known);
    json.endObject();
  }
  json.endArray();
}

void result(JsonWriter& json, Pieces& pieces, const LoadResult& r, bool all) {
  pieces.newResult();
  json.beginObject();
  json.field("host", r.host);
  json.flag("loads", r.loads);
  json.flag("passes", r.passes);
  json.field("error", r.state == ImageState::Checked ? nullptr : &r.error);
  json.key("modules");
  json.beginArray();
  for (const ModuleResult& m : r.modules) module(json, pieces, r, m);
  json.endArray();
  functions(json, pieces, r, "missing", false);
  if (all) functions(json, pieces, r, "found", true);
  delayDamage(json, pieces, r);
  json.endObject();
}

void problem(JsonWriter& json, const Problem& p) {
  json.beginObject();
  json.field("host", p.host);
  json.field("image", p.image);
  json.field("module", p.module.empty() ? nullptr : &p.module);
  json.field("kind", p.isFunction ? nullptr : &p.kind);
  json.field("function", p.isFunction && !p.byOrdinal ? &p.function : nullptr);
  json.key("ordinal");
  if (p.isFunction && p.byOrdinal) json.number(p.ordinal);
  else json.null();
  json.field("needed_by", p.isFunction ? &p.neededBy : nullptr);
  json.endObject();
}

class JsonReport : public Report {
 public:
  explicit JsonReport(const RunInfo& run) : run_(run) {}

  std::string begin() override {
    std::string text = "{\n \"format\": \"zymran-check 1\",\n \"hosts\": ";
    JsonWriter json(&text, 1);
    json.beginArray();
    for (const std::string& host : run_.hosts) json.string(host);
    json.endArray();
    return text + ",\n \"images\": [";
  }

  std::string add(const ImageResults& image) override {
    // Each image two levels in, as one dump of the whole document would lay
    // it out.
    std::string text = ++images_ == 1 ? "\n  " : ",\n  ";
    text.reserve(largest_);
    JsonWriter json(&text, 2);
    json.beginObject();
    json.field("image", image.image);
    json.key("results");
    json.beginArray();
    for (const LoadResult& r : image.results) result(json, pieces_, r, run_.all);
    json.endArray();
    json.key("loads_under");
    json.beginArray();
    for (const size_t h : image.loadsUnder) json.string(run_.hosts[h]);
    json.endArray();
    json.field("loads_from", image.loadsFrom < 0 ? nullptr : &run_.hosts[static_cast<size_t>(image.loadsFrom)]);
    json.endObject();
    largest_ = std::max(largest_, text.size());
    return text;
  }

  std::string end(const std::vector<Problem>& fixed) override {
    std::string text = images_ == 0 ? "]" : "\n ]";
    if (run_.baseline) {
      text += ",\n \"fixed\": ";
      JsonWriter json(&text, 1);
      json.beginArray();
      for (const Problem& p : fixed) problem(json, p);
      json.endArray();
    }
    return text + "\n}\n";
  }

 private:
  const RunInfo run_;
  size_t images_ = 0;
  size_t largest_ = 0;  // of an image's text so far
  Pieces pieces_;
};

}  // namespace

std::unique_ptr<Report> makeJsonReport(const RunInfo& run) { return std::unique_ptr<Report>(new JsonReport(run)); }

}  // namespace check
