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
    json.key("module");
    json.string(*f.module);
  }
  json.key("function");
  json.string(f.function.name);
  json.key("ordinal");
  if (f.function.byOrdinal()) json.number(f.function.ordinal);
  else json.null();
  json.key("needed_by");
  json.string(*f.neededBy);
  json.key("delayed");
  json.boolean(f.delayed);
  chain(json, r, f.chain);
  if (withKnown) {
    json.key("known");
    json.boolean(f.known);
  }
  json.endObject();
}

void module(JsonWriter& json, const LoadResult& r, const ModuleResult& m) {
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
  chain(json, r, m.chain);
  json.key("functions");
  json.beginArray();
  for (const FunctionResult& f : m.functions) function(json, r, f, false, false);
  json.endArray();
  json.key("known");
  json.boolean(m.known);
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
  json.key("host");
  json.string(r.host);
  json.key("loads");
  json.boolean(r.loads);
  json.key("passes");
  json.boolean(r.passes);
  json.key("error");
  json.string(r.state == ImageState::Checked ? nullptr : &r.error);
  json.key("modules");
  json.beginArray();
  for (const ModuleResult& m : r.modules) module(json, r, m);
  json.endArray();
  functions(json, r, "missing", false);
  if (all) functions(json, r, "found", true);
  json.endObject();
}

void problem(JsonWriter& json, const Problem& p) {
  json.beginObject();
  json.key("host");
  json.string(p.host);
  json.key("image");
  json.string(p.image);
  json.key("module");
  json.string(p.module.empty() ? nullptr : &p.module);
  json.key("kind");
  json.string(p.isFunction ? nullptr : &p.kind);
  json.key("function");
  json.string(p.isFunction && !p.byOrdinal ? &p.function : nullptr);
  json.key("ordinal");
  if (p.isFunction && p.byOrdinal) json.number(p.ordinal);
  else json.null();
  json.key("needed_by");
  json.string(p.isFunction ? &p.neededBy : nullptr);
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
    json.key("image");
    json.string(image.image);
    json.key("results");
    json.beginArray();
    for (const LoadResult& r : image.results) result(json, r, run_.all);
    json.endArray();
    json.key("loads_under");
    json.beginArray();
    for (const size_t h : image.loadsUnder) json.string(run_.hosts[h]);
    json.endArray();
    json.key("loads_from");
    json.string(image.loadsFrom < 0 ? nullptr : &run_.hosts[static_cast<size_t>(image.loadsFrom)]);
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
