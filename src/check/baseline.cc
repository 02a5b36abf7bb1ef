#include "check/baseline.h"

#include <nlohmann/json.hpp>

#include "check/files.h"

namespace check {

namespace {

// The kind of a problem of the delay-load data of an image in the closure.
const char kDelayDamage[] = "delay-load data damaged";

std::string key(const Problem& p) {
  const char separator = '\0';
  return p.host + separator + p.image + separator + upperCase(p.module) + separator + p.kind + separator +
         (p.isFunction ? "f" : "m") + separator + p.function + separator +
         (p.byOrdinal ? std::to_string(p.ordinal) : "") + separator + p.neededBy;
}

// Text of a document, whose characters U+0000-U+00FF stand for bytes.
std::string bytesOf(const nlohmann::json& value) {
  const std::string& text = value.get_ref<const std::string&>();
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c == 0xC2 || c == 0xC3) && i + 1 < text.size()) {
      bytes += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(text[++i]) & 0x3F));
    } else {
      bytes += static_cast<char>(c);
    }
  }
  return bytes;
}

Problem problemOf(const std::string& host, const std::string& image, const std::string& module) {
  Problem p;
  p.host = host;
  p.image = image;
  p.module = module;
  return p;
}

Problem moduleProblem(const std::string& host, const std::string& image, const ModuleResult& m) {
  Problem p = problemOf(host, image, *m.name);
  p.kind = kindText(m.kind);
  return p;
}

Problem functionProblem(const std::string& host, const std::string& image, const FunctionResult& f) {
  Problem p = problemOf(host, image, *f.module);
  p.isFunction = true;
  p.byOrdinal = f.function.byOrdinal();
  if (p.byOrdinal) p.ordinal = f.function.ordinal;
  else p.function = *f.function.name;
  p.neededBy = *f.neededBy;
  return p;
}

// The kind of a problem of the image itself, from its error.
std::string imageKind(const std::string& error) { return error == "64-bit image" ? "64-bit" : "damaged"; }

void readResult(const std::string& image, const nlohmann::json& r, std::vector<Problem>* problems) {
  Problem base;
  base.host = bytesOf(r.at("host"));
  base.image = image;
  const nlohmann::json& error = r.at("error");
  if (!error.is_null() && bytesOf(error) != "can't be opened") {
    Problem p = base;
    p.kind = imageKind(bytesOf(error));
    problems->push_back(p);
  }
  for (const nlohmann::json& m : r.at("modules")) {
    const std::string kind = bytesOf(m.at("kind"));
    if (kind == "emulated" || kind == "file") continue;
    Problem p = base;
    p.module = bytesOf(m.at("name"));
    p.kind = kind;
    problems->push_back(p);
  }
  if (r.contains("delay_load_damage")) {
    for (const nlohmann::json& d : r.at("delay_load_damage")) {
      Problem p = base;
      p.module = bytesOf(d.at("image"));
      p.kind = kDelayDamage;
      problems->push_back(p);
    }
  }
  for (const nlohmann::json& f : r.at("missing")) {
    Problem p = base;
    p.isFunction = true;
    p.module = bytesOf(f.at("module"));
    if (f.at("function").is_null()) {
      p.byOrdinal = true;
      p.ordinal = f.at("ordinal").get<uint32_t>();
    } else {
      p.function = bytesOf(f.at("function"));
    }
    p.neededBy = bytesOf(f.at("needed_by"));
    problems->push_back(p);
  }
}

}  // namespace

void Baseline::add(const Problem& problem) {
  if (index_.emplace(key(problem), problems_.size()).second) {
    problems_.push_back(problem);
    met_.push_back(false);
  }
}

bool Baseline::read(const std::string& path, std::string* error) {
  std::string text, reason;
  if (!readWholeFile(path, &text, &reason)) {
    *error = path + ": can't be read: " + reason;
    return false;
  }
  std::vector<Problem> problems;
  try {
    const nlohmann::json document = nlohmann::json::parse(text);
    if (document.at("format").get<std::string>() != "zymran-check 1") throw std::exception();
    for (const nlohmann::json& image : document.at("images"))
      for (const nlohmann::json& result : image.at("results"))
        readResult(bytesOf(image.at("image")), result, &problems);
  } catch (const std::exception&) {
    *error = path + ": not a zymran-check JSON report";
    return false;
  }
  for (const Problem& p : problems) add(p);
  return true;
}

bool Baseline::holds(const Problem& problem) {
  const auto found = index_.find(key(problem));
  if (found == index_.end()) return false;
  met_[found->second] = true;
  return true;
}

std::vector<Problem> Baseline::unmet() const {
  std::vector<Problem> fixed;
  for (size_t i = 0; i < problems_.size(); ++i)
    if (!met_[i]) fixed.push_back(problems_[i]);
  return fixed;
}

void settle(const std::string& image, std::vector<LoadResult>& results, Baseline* baseline) {
  for (LoadResult& r : results) {
    bool passes = r.state == ImageState::Checked || r.state == ImageState::Damaged || r.state == ImageState::Wide;
    if (r.state == ImageState::Damaged || r.state == ImageState::Wide) {
      Problem p = problemOf(r.host, image, "");
      p.kind = imageKind(r.error);
      r.known = baseline != nullptr && baseline->holds(p);
      passes = r.known;
    }
    for (ModuleResult& m : r.modules) {
      if (present(m.kind)) continue;
      m.known = baseline != nullptr && baseline->holds(moduleProblem(r.host, image, m));
      if (!m.known && !m.delayed) passes = false;
    }
    for (FunctionResult& f : r.functions) {
      if (f.found) continue;
      f.known = baseline != nullptr && baseline->holds(functionProblem(r.host, image, f));
      if (!f.known && !f.delayed) passes = false;
    }
    for (DelayDamage& d : r.delayDamage) {
      Problem p = problemOf(r.host, image, *d.image);
      p.kind = kDelayDamage;
      d.known = baseline != nullptr && baseline->holds(p);
    }
    r.passes = r.loads || passes;
  }
}

}  // namespace check
