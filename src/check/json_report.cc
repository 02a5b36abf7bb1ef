// The JSON report: one document, written image by image.
#include "check/json.h"
#include "check/reports.h"

namespace check {

namespace {

void chain(JsonWriter& json, const LoadResult& r, uint32_t index) {
  json.key("chain");
  json.beginArray();
  for (const std::string* image : r.chains[index].images) json.string(*image);
  json.endArray();
}

void function(JsonWriter& json, const LoadResult& r, const FunctionResult& f, bool withModule, bool withKnown) {
  json.beginObject();
  if (withModule) {
    json.field("module", *f.module);
  }
  json.field("function", f.function.name);
  json.key("ordinal");
  if (f.function.byOrdinal()) json.number(f.function.ordinal);
  else json.null();
  json.field("needed_by", *f.neededBy);
  json.flag("delayed", f.delayed);
  chain(json, r, f.chain);
  if (withKnown) {
    json.flag("known", f.known);
  }
  json.endObject();
}

void module(JsonWriter& json, const LoadResult& r, const ModuleResult& m) {
  json.beginObject();
  json.field("name", *m.name);
  json.field("kind", kindText(m.kind));
  json.field("file", m.file);
  json.flag("delayed", m.delayed);
  json.key("needed_by");
  json.beginArray();
  for (const std::string* name : m.neededBy) json.string(*name);
  json.endArray();
  json.field("error", m.error);
  chain(json, r, m.chain);
  json.key("functions");
  json.beginArray();
  for (const FunctionResult& f : m.functions) function(json, r, f, false, false);
  json.endArray();
  json.flag("known", m.known);
  json.endObject();
}

void functions(JsonWriter& json, const LoadResult& r, const char* key, bool found) {
  json.key(key);
  json.beginArray();
  for (const FunctionResult& f : r.functions)
    if (f.found == found) function(json, r, f, true, true);
  json.endArray();
}

void result(JsonWriter& json, const LoadResult& r, bool all) {
  json.beginObject();
  json.field("host", r.host);
  json.flag("loads", r.loads);
  json.flag("passes", r.passes);
  json.field("error", r.state == ImageState::Checked ? nullptr : &r.error);
  json.key("modules");
  json.beginArray();
  for (const ModuleResult& m : r.modules) module(json, r, m);
  json.endArray();
  functions(json, r, "missing", false);
  if (all) functions(json, r, "found", true);
  json.key("delay_load_damage");
  json.beginArray();
  for (const DelayDamage& d : r.delayDamage) {
    json.beginObject();
    json.field("image", *d.image);
    json.field("file", *d.file);
    json.field("error", *d.error);
    chain(json, r, d.chain);
    json.flag("known", d.known);
    json.endObject();
  }
  json.endArray();
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
    JsonWriter json(&text, 2);
    json.beginObject();
    json.field("image", image.image);
    json.key("results");
    json.beginArray();
    for (const LoadResult& r : image.results) result(json, r, run_.all);
    json.endArray();
    json.key("loads_under");
    json.beginArray();
    for (const size_t h : image.loadsUnder) json.string(run_.hosts[h]);
    json.endArray();
    json.field("loads_from", image.loadsFrom < 0 ? nullptr : &run_.hosts[static_cast<size_t>(image.loadsFrom)]);
    json.endObject();
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
};

}  // namespace

std::unique_ptr<Report> makeJsonReport(const RunInfo& run) { return std::unique_ptr<Report>(new JsonReport(run)); }

}  // namespace check
