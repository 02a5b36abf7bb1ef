// The reports that CI dashboards read: JUnit XML test reports, SARIF 2.1.0
// for code-scanning alerts and GitHub workflow commands for annotations.
#include "check/files.h"
#include "check/json.h"
#include "check/reports.h"

namespace check {

const Rule kRules[] = {
    {"module-not-implemented", "A system module that the host does not implement"},
    {"module-not-found", "A module found in none of the folders searched"},
    {"module-unreadable", "A module whose file is there but can't be read"},
    {"module-damaged", "A module whose file is not a PE image or whose data lies outside it"},
    {"module-64-bit", "A module that is a 64-bit image, which the host can't load"},
    {"function-not-implemented", "A function of an emulated module that the host does not implement"},
    {"function-missing", "A function that its DLL does not export, or a forwarder loop"},
    {"image-damaged", "An image that is not a PE image, or whose import data lies outside it; delayed when only its "
                      "delay-load import data is"},
    {"image-64-bit", "An image that is a 64-bit image, which the host can't load"},
};
const size_t kRuleCount = sizeof kRules / sizeof kRules[0];

namespace {

const char* moduleRule(Kind kind) {
  switch (kind) {
    case Kind::NotImplemented: return "module-not-implemented";
    case Kind::Unreadable: return "module-unreadable";
    case Kind::Damaged: return "module-damaged";
    case Kind::Wide: return "module-64-bit";
    default: return "module-not-found";
  }
}

size_t ruleIndex(const char* rule) {
  for (size_t i = 0; i < kRuleCount; ++i)
    if (std::string(kRules[i].id) == rule) return i;
  return 0;
}

// The file of the image that needs the problem's module or function: the
// image as named, or the file as read.
const std::string& neederPath(const ProblemLine& p, const std::string& image) {
  return p.hasChain && p.chain.path != nullptr ? *p.chain.path : image;
}

}  // namespace

std::vector<ProblemLine> problemLines(const std::string& image, const LoadResult& r,
                                      const std::vector<std::string>& folders) {
  std::vector<ProblemLine> lines;
  if (r.state == ImageState::Damaged || r.state == ImageState::Wide) {
    ProblemLine p;
    p.rule = r.state == ImageState::Wide ? "image-64-bit" : "image-damaged";
    p.text = imageLine(image, r);
    p.known = r.known;
    lines.push_back(p);
  }
  for (const ModuleResult& m : r.modules) {
    if (present(m.kind)) continue;
    ProblemLine p;
    p.rule = moduleRule(m.kind);
    p.text = moduleLine(m, folders, r);
    p.delayed = m.delayed;
    p.known = m.known;
    p.chain = r.chain(m.chain);
    p.hasChain = true;
    for (const FunctionResult& f : m.functions) p.detail.push_back(functionLine(f, r));
    lines.push_back(p);
  }
  for (const FunctionResult& f : r.functions) {
    if (f.found) continue;
    ProblemLine p;
    p.rule = f.moduleKind == Kind::Emulated ? "function-not-implemented" : "function-missing";
    p.text = functionLine(f, r);
    p.delayed = f.delayed;
    p.known = f.known;
    p.chain = r.chain(f.chain);
    p.hasChain = true;
    lines.push_back(p);
  }
  for (const DelayDamage& d : r.delayDamage) {
    ProblemLine p;
    p.rule = "image-damaged";
    p.text = delayDamageLine(d, r);
    p.delayed = true;
    p.known = d.known;
    p.chain = r.chain(d.chain);
    p.hasChain = true;
    lines.push_back(p);
  }
  return lines;
}

namespace {

// ---- JUnit XML ---------------------------------------------------------------

// Text shown as the text report shows it, then escaped as XML needs.
std::string xml(const std::string& text) {
  std::string out;
  for (const char c : shown(text)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// One test suite a host, one test case an image: the suites are known only
// at the end, so that their cases are kept until then. A failure's text is
// the image's problem lines that count, each with the functions under it, as
// the text report writes them; known and delayed ones go to the test case's
// standard output.
class JunitReport : public Report {
 public:
  explicit JunitReport(const RunInfo& run) : run_(run), suites_(run.hosts.size()) {}

  std::string begin() override { return ""; }

  std::string add(const ImageResults& image) override {
    const std::vector<std::string> folders = searchFolders(image.image, run_);
    for (size_t h = 0; h < image.results.size(); ++h)
      addCase(image.image, image.results[h], folders, run_.decisive(h), suites_[h]);
    return "";
  }

  std::string end(const std::vector<Problem>&) override {
    size_t tests = 0;
    size_t failures = 0;
    for (const Suite& suite : suites_) {
      tests += suite.tests;
      failures += suite.failures;
    }
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites name=\"zymran-check\" tests=\"" +
                      std::to_string(tests) + "\" failures=\"" + std::to_string(failures) + "\">\n";
    for (size_t h = 0; h < suites_.size(); ++h) {
      out += "  <testsuite name=\"" + xml(run_.hosts[h]) + "\" tests=\"" + std::to_string(suites_[h].tests) +
             "\" failures=\"" + std::to_string(suites_[h].failures) + "\">\n" + suites_[h].cases +
             "  </testsuite>\n";
    }
    return out + "</testsuites>\n";
  }

 private:
  struct Suite {
    size_t tests = 0;
    size_t failures = 0;
    std::string cases;
  };

  // An image under a host that does not decide (--require) fails nothing:
  // its problems are reported for information.
  void addCase(const std::string& image, const LoadResult& r, const std::vector<std::string>& folders,
               bool decides, Suite& suite) {
    ++suite.tests;
    std::string failing, other;
    if (r.state == ImageState::Unopened) (decides ? failing : other) += xml(imageLine(image, r)) + "\n";
    for (const ProblemLine& p : problemLines(image, r, folders)) {
      std::string& to = p.known || p.delayed || !decides ? other : failing;
      to += xml(p.text) + (p.known ? " (known)" : "") + "\n";
      for (const std::string& line : p.detail) to += xml(line) + "\n";
    }
    suite.cases += "    <testcase name=\"" + xml(image) + "\" classname=\"zymran-check\">\n";
    if (!r.passes && decides) {
      ++suite.failures;
      suite.cases += "      <failure message=\"" + xml(verdictLine(image, r)) + "\">" + failing + "</failure>\n";
    }
    if (!other.empty()) suite.cases += "      <system-out>" + other + "</system-out>\n";
    suite.cases += "    </testcase>\n";
  }

  const RunInfo run_;
  std::vector<Suite> suites_;
};

// ---- SARIF 2.1.0 ---------------------------------------------------------------

// A path as a URI: a relative reference for a relative path, a file URI for
// an absolute one (a reader joins a relative reference to its base URI, which
// a leading '/' would throw away). Every byte but the unreserved ones and '/'
// is percent-encoded, and a run of '/' is written once: it names the same
// folder, and "//" would start a host name.
std::string uri(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = !path.empty() && path[0] == '/' ? "file://" : "";
  for (size_t i = 0; i < path.size(); ++i) {
    const char c = path[i];
    if (c == '/' && i > 0 && path[i - 1] == '/') continue;
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~' || c == '/') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    }
  }
  return out;
}

class SarifReport : public Report {
 public:
  explicit SarifReport(const RunInfo& run) : run_(run), json_(&text_, 0) {}

  std::string begin() override {
    json_.beginObject();
    json_.field("$schema", std::string("https://json.schemastore.org/sarif-2.1.0.json"));
    json_.field("version", std::string("2.1.0"));
    json_.key("runs");
    json_.beginArray();
    json_.beginObject();
    json_.key("tool");
    json_.beginObject();
    json_.key("driver");
    json_.beginObject();
    json_.field("name", std::string("zymran-check"));
    json_.field("version", std::string(ZYMRAN_VERSION));
    json_.key("rules");
    json_.beginArray();
    for (size_t i = 0; i < kRuleCount; ++i) rule(kRules[i]);
    json_.endArray();
    json_.endObject();
    json_.endObject();
    json_.key("results");
    json_.beginArray();
    return take();
  }

  std::string add(const ImageResults& image) override {
    const std::vector<std::string> folders = searchFolders(image.image, run_);
    for (size_t h = 0; h < image.results.size(); ++h)
      for (const ProblemLine& p : problemLines(image.image, image.results[h], folders))
        result(image.image, image.results[h], p, run_.decisive(h));
    return take();
  }

  std::string end(const std::vector<Problem>&) override {
    json_.endArray();
    json_.endObject();
    json_.endArray();
    json_.endObject();
    return take() + "\n";
  }

 private:
  std::string take() {
    std::string out;
    out.swap(text_);
    return out;
  }

  void text(const char* key, const std::string& value) {
    json_.key(key);
    json_.beginObject();
    json_.field("text", value);
    json_.endObject();
  }

  void rule(const Rule& r) {
    json_.beginObject();
    json_.field("id", std::string(r.id));
    text("shortDescription", r.description);
    json_.endObject();
  }

  void location(const std::string& path) {
    json_.key("locations");
    json_.beginArray();
    json_.beginObject();
    json_.key("physicalLocation");
    json_.beginObject();
    json_.key("artifactLocation");
    json_.beginObject();
    json_.field("uri", uri(path));
    json_.endObject();
    json_.endObject();
    json_.endObject();
    json_.endArray();
  }

  // A problem under a host that does not decide (--require) is a note.
  void result(const std::string& image, const LoadResult& r, const ProblemLine& p, bool decides) {
    json_.beginObject();
    json_.field("ruleId", std::string(p.rule));
    json_.key("ruleIndex");
    json_.number(ruleIndex(p.rule));
    json_.field("level", std::string(!decides ? "note" : p.delayed ? "warning" : "error"));
    text("message", p.text);
    location(neederPath(p, image));
    if (run_.baseline) {
      json_.field("baselineState", std::string(p.known ? "unchanged" : "new"));
    }
    json_.key("properties");
    json_.beginObject();
    json_.field("host", r.host);
    json_.field("image", image);
    json_.key("chain");
    json_.beginArray();
    if (p.hasChain) {
      for (const std::string* name : p.chain.images) json_.string(*name);
    } else {
      json_.string(fileName(image));  // a problem of the image itself
    }
    json_.endArray();
    json_.endObject();
    json_.endObject();
  }

  const RunInfo run_;
  std::string text_;
  JsonWriter json_;
};

// ---- GitHub workflow commands ----------------------------------------------------

// Text as a command's message needs it.
std::string commandData(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '%') out += "%25";
    else if (c == '\r') out += "%0D";
    else if (c == '\n') out += "%0A";
    else out += c;
  }
  return out;
}

// Text as a command's property needs it.
std::string commandProperty(const std::string& text) {
  std::string out;
  for (const char c : commandData(text)) {
    if (c == ':') out += "%3A";
    else if (c == ',') out += "%2C";
    else out += c;
  }
  return out;
}

class GithubReport : public Report {
 public:
  explicit GithubReport(const RunInfo& run) : run_(run) {}

  std::string begin() override { return ""; }

  std::string add(const ImageResults& image) override {
    const std::vector<std::string> folders = searchFolders(image.image, run_);
    std::string out;
    for (size_t h = 0; h < image.results.size(); ++h) {
      const LoadResult& r = image.results[h];
      const std::string title = commandProperty(shown(image.image) + " under " + shown(r.host));
      for (const ProblemLine& p : problemLines(image.image, r, folders)) {
        // Known, or under a host that does not decide: for information.
        const char* command = p.known || !run_.decisive(h) ? "::notice" : p.delayed ? "::warning" : "::error";
        out += std::string(command) + " file=" + commandProperty(shown(neederPath(p, image.image))) +
               ",title=" + title + "::" + commandData(p.text + (p.known ? " (known)" : "")) + "\n";
      }
    }
    return out;
  }

  std::string end(const std::vector<Problem>&) override { return ""; }

 private:
  const RunInfo run_;
};

}  // namespace

std::unique_ptr<Report> makeJunitReport(const RunInfo& run) { return std::unique_ptr<Report>(new JunitReport(run)); }
std::unique_ptr<Report> makeSarifReport(const RunInfo& run) { return std::unique_ptr<Report>(new SarifReport(run)); }
std::unique_ptr<Report> makeGithubReport(const RunInfo& run) {
  return std::unique_ptr<Report>(new GithubReport(run));
}

}  // namespace check
