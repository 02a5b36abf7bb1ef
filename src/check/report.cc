#include "check/report.h"

#include <algorithm>
#include <utility>

#include "check/files.h"
#include "check/reports.h"

namespace check {

std::string shown(const std::string& text) {
  static const char kDigits[] = "0123456789ABCDEF";
  const auto printable = [](char c) { return c >= 0x20 && c < 0x7F; };
  if (std::all_of(text.begin(), text.end(), printable)) return text;
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

bool parseFormat(const std::string& name, Format* format) {
  static const std::pair<const char*, Format> kFormats[] = {
      {"text", Format::Text}, {"json", Format::Json}, {"junit", Format::Junit},
      {"sarif", Format::Sarif}, {"github", Format::Github}};
  for (const auto& entry : kFormats) {
    if (name != entry.first) continue;
    *format = entry.second;
    return true;
  }
  return false;
}

void findLoadsFrom(ImageResults* image) {
  image->loadsUnder.clear();
  image->loadsFrom = -1;
  for (size_t h = 0; h < image->results.size(); ++h) {
    if (!image->results[h].loads) {
      image->loadsFrom = -1;
      continue;
    }
    image->loadsUnder.push_back(h);
    if (image->loadsFrom < 0) image->loadsFrom = static_cast<long>(h);
  }
}

std::vector<std::string> searchFolders(const std::string& image, const RunInfo& run) {
  std::vector<std::string> folders{folderOf(image)};
  folders.insert(folders.end(), run.folders.begin(), run.folders.end());
  // As shown: "." for the current folder, each ending in '/', each once.
  std::vector<std::string> shownFolders;
  for (std::string& folder : folders) {
    if (folder.empty()) folder = ".";
    if (folder.back() != '/') folder += '/';
    if (std::find(shownFolders.begin(), shownFolders.end(), folder) == shownFolders.end())
      shownFolders.push_back(folder);
  }
  return shownFolders;
}

namespace {

// "APP.EXE > PLUGIN.DLL > HELPER.DLL"
std::string chainText(const Chain& chain) {
  std::string text;
  for (size_t i = 0; i < chain.images.size(); ++i) text += (i == 0 ? "" : " > ") + shown(*chain.images[i]);
  return text;
}

std::string functionText(const FunctionRef& f) {
  return f.byOrdinal() ? "#" + std::to_string(f.ordinal) : shown(*f.name);
}

// " (needed by A, B; via X > Y; delayed)"; the chain when it has more than
// the image itself.
std::string neededBy(const std::vector<const std::string*>& names, const Chain& chain, bool delayed) {
  std::string text = " (needed by ";
  for (size_t i = 0; i < names.size(); ++i) text += (i == 0 ? "" : ", ") + shown(*names[i]);
  if (chain.images.size() > 1) text += "; via " + chainText(chain);
  return text + (delayed ? "; delayed)" : ")");
}

// "in app/, libs/": where a module was looked for.
std::string searched(const std::vector<std::string>& folders) {
  std::string text = " in ";
  for (size_t i = 0; i < folders.size(); ++i) text += (i == 0 ? "" : ", ") + shown(folders[i]);
  return text;
}

std::string kindWords(const ModuleResult& m, const std::vector<std::string>& folders) {
  switch (m.kind) {
    case Kind::Emulated: return "emulated";
    case Kind::NotImplemented: return "not implemented by the host";
    case Kind::File: return "file " + shown(*m.file);
    case Kind::NotFound: return "not found" + searched(folders);
    case Kind::Unreadable: return "can't be read, " + shown(*m.file) + ": " + shown(*m.error);
    case Kind::Damaged: return "damaged, " + shown(*m.file) + ": " + shown(*m.error);
    case Kind::Wide: return "64-bit, " + shown(*m.file);
  }
  return "";
}

std::string verdict(const FunctionResult& f) {
  switch (f.moduleKind) {
    case Kind::Emulated: return f.found ? "implemented" : "not implemented";
    case Kind::File: return f.found ? "found" : "missing";
    case Kind::NotImplemented: return "module not implemented by the host";
    default: return std::string("module ") + kindText(f.moduleKind);
  }
}

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string known(bool isKnown) { return isKnown ? " (known)" : ""; }

// "  3 problems: 1 module, 2 functions": what fails at load time.
std::string problemCount(const LoadResult& r) {
  size_t modules = 0;
  size_t functions = 0;
  for (const ModuleResult& m : r.modules)
    if (!present(m.kind) && !m.delayed) ++modules;
  for (const FunctionResult& f : r.functions)
    if (!f.found && !f.delayed) ++functions;
  if (modules + functions == 0) return "";
  std::string parts;
  if (modules > 0) parts += plural(modules, "module", "modules");
  if (functions > 0) parts += (modules > 0 ? ", " : "") + plural(functions, "function", "functions");
  return "  " + plural(modules + functions, "problem", "problems") + ": " + parts + "\n";
}

std::string hostList(const RunInfo& run, const std::vector<size_t>& hosts) {
  std::string text;
  for (size_t i = 0; i < hosts.size(); ++i) text += (i == 0 ? "" : ", ") + shown(run.hosts[hosts[i]]);
  return text;
}

class TextReport : public Report {
 public:
  explicit TextReport(const RunInfo& run) : run_(run) {}
  std::string begin() override { return ""; }
  std::string add(const ImageResults& image) override;
  std::string end(const std::vector<Problem>& fixed) override;

 private:
  std::string result(const std::string& image, const LoadResult& r, const std::vector<std::string>& folders);
  void addRows(const std::string& image, const std::vector<LoadResult>& results);
  std::string table() const;

  struct Row {
    std::string label;
    std::vector<std::string> cells;  // one per host
  };
  const RunInfo run_;
  size_t images_ = 0;
  // (image, upper-cased module, needer, function) -> row.
  std::map<std::tuple<std::string, std::string, std::string, FunctionRef>, Row> rows_;
};

std::string TextReport::result(const std::string& image, const LoadResult& r,
                               const std::vector<std::string>& folders) {
  std::string out = verdictLine(image, r) + "\n";
  if (r.state != ImageState::Checked) out += "  " + imageLine(image, r) + known(r.known) + "\n";
  size_t delayed = 0;
  for (const ModuleResult& m : r.modules) {
    const bool fails = !present(m.kind);
    if (fails && m.delayed) ++delayed;
    if (!run_.all && !fails) continue;
    out += "  " + moduleLine(m, folders, r) + known(m.known) + "\n";
    for (const FunctionResult& f : m.functions) out += "  " + functionLine(f, r) + "\n";
  }
  for (const FunctionResult& f : r.functions) {
    if (!f.found && f.delayed) ++delayed;
    if (run_.all || !f.found) out += "  " + functionLine(f, r) + known(!f.found && f.known) + "\n";
  }
  for (const DelayDamage& d : r.delayDamage) {
    ++delayed;
    out += "  " + delayDamageLine(d, r) + known(d.known) + "\n";
  }
  if (r.state == ImageState::Checked && !r.loads) out += problemCount(r);
  if (delayed > 0)
    out += "  " + plural(delayed, "delayed problem", "delayed problems") + ", met only when that code runs\n";
  return out;
}

std::string TextReport::add(const ImageResults& image) {
  ++images_;
  const std::vector<std::string> folders = searchFolders(image.image, run_);
  std::string out;
  for (const LoadResult& r : image.results) out += result(image.image, r, folders);
  if (run_.hosts.size() < 2) return out;
  out += shown(image.image) + " loads under ";
  if (image.loadsUnder.empty()) out += "no host given";
  else out += hostList(run_, image.loadsUnder);
  if (image.loadsFrom >= 0) out += "; from " + shown(run_.hosts[static_cast<size_t>(image.loadsFrom)]) + " on";
  addRows(image.image, image.results);
  return out + "\n";
}

// The closing table's rows: each function missing under some host, with each
// host's word for it: missing, delayed (missing when that code runs), found,
// or "-" where it was not checked.
void TextReport::addRows(const std::string& image, const std::vector<LoadResult>& results) {
  for (size_t pass = 0; pass < 2; ++pass) {
    for (size_t h = 0; h < results.size(); ++h) {
      for (const FunctionResult& f : results[h].functions) {
        const auto key = std::make_tuple(image, upperCase(*f.module), *f.neededBy, f.function);
        if (pass == 0) {
          if (f.found) continue;
          Row& row = rows_[key];
          row.label = shown(*f.module) + " " + functionText(f.function);
          row.cells.resize(run_.hosts.size());
        } else {
          const auto row = rows_.find(key);
          if (row != rows_.end()) row->second.cells[h] = f.found ? "found" : f.delayed ? "delayed" : "missing";
        }
      }
    }
  }
}

// With two or more hosts, the report closes with a table of every function
// missing under at least one host.
std::string TextReport::table() const {
  if (run_.hosts.size() < 2 || rows_.empty()) return "";
  const bool images = images_ > 1;
  std::vector<std::vector<std::string>> lines;
  std::vector<std::string> header;
  if (images) header.push_back("image");
  header.push_back("function");
  header.push_back("needed by");
  for (const std::string& host : run_.hosts) header.push_back(shown(host));
  lines.push_back(header);
  for (const auto& row : rows_) {
    std::vector<std::string> line;
    if (images) line.push_back(shown(std::get<0>(row.first)));
    line.push_back(row.second.label);
    line.push_back(shown(std::get<2>(row.first)));
    for (const std::string& cell : row.second.cells) line.push_back(cell.empty() ? "-" : cell);
    lines.push_back(line);
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto& line : lines)
    for (size_t c = 0; c < line.size(); ++c) widths[c] = std::max(widths[c], line[c].size());
  std::string out = "\nFunctions missing under some host:\n";
  for (const auto& line : lines) {
    std::string text = " ";
    for (size_t c = 0; c < line.size(); ++c) {
      text += " " + line[c];
      if (c + 1 < line.size()) text += std::string(widths[c] - line[c].size() + 1, ' ');
    }
    out += text + "\n";
  }
  return out;
}

std::string TextReport::end(const std::vector<Problem>& fixed) {
  std::string out = table();
  if (!fixed.empty()) out += "\n";
  for (const Problem& p : fixed) out += "fixed since the baseline: " + problemText(p) + "\n";
  return out;
}

}  // namespace

std::string verdictLine(const std::string& image, const LoadResult& r) {
  return shown(image) + " under " + shown(r.host) +
         (r.loads ? ": loads" : r.passes ? ": does not load (known problems only)" : ": does not load");
}

std::string imageLine(const std::string& image, const LoadResult& r) {
  return shown(fileName(image)) + ": " + shown(r.error);
}

std::string moduleLine(const ModuleResult& m, const std::vector<std::string>& folders, const LoadResult& r) {
  return "module " + shown(*m.name) + ": " + kindWords(m, folders) +
         neededBy(m.neededBy, r.chain(m.chain), m.delayed);
}

std::string functionLine(const FunctionResult& f, const LoadResult& r) {
  std::string line = "function " + shown(*f.module) + " " + functionText(f.function) + ": " + verdict(f);
  if (f.note != nullptr) line += ", " + shown(*f.note);
  return line + neededBy({f.neededBy}, r.chain(f.chain), f.delayed);
}

std::string delayDamageLine(const DelayDamage& d, const LoadResult& r) {
  const Chain chain = r.chain(d.chain);
  return shown(*d.image) + ": delay-load data damaged: " + shown(*d.error) + " (" +
         (chain.images.size() > 1 ? "via " + chainText(chain) + "; " : "") + "delayed)";
}

std::string problemText(const Problem& p) {
  std::string text = shown(p.image) + " under " + shown(p.host) + ": ";
  if (p.module.empty()) return text + (p.kind == "64-bit" ? "64-bit image" : "damaged");
  if (!p.isFunction) return text + "module " + shown(p.module) + ": " + p.kind;
  return text + "function " + shown(p.module) + " " +
         (p.byOrdinal ? "#" + std::to_string(p.ordinal) : shown(p.function)) + " (needed by " +
         shown(p.neededBy) + ")";
}

std::unique_ptr<Report> makeReport(Format format, const RunInfo& run) {
  switch (format) {
    case Format::Text: return std::unique_ptr<Report>(new TextReport(run));
    case Format::Json: return makeJsonReport(run);
    case Format::Junit: return makeJunitReport(run);
    case Format::Sarif: return makeSarifReport(run);
    case Format::Github: return makeGithubReport(run);
  }
  return nullptr;
}

}  // namespace check
