// zymran-check's load model on arbitrary bytes, as one image of a two-image
// closure: once as a DLL that a fixed program imports from, once as the
// program, with a fixed DLL beside it. The walk must end, and every report
// must be whole: JSON and SARIF parse back as JSON, JUnit as XML, and the
// GitHub commands are one a line.
#include <stdlib.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "check/model.h"
#include "check/report.h"
#include "fuzz_platform.h"
#include "image_builder.h"
#include "memory_files.h"
#include "xml_check.h"

namespace {

// A program importing from FUZZ.DLL by name and ordinal, and from the host.
const std::vector<uint8_t>& program() {
  static const std::vector<uint8_t> bytes = [] {
    ImagePlan plan;
    plan.modules = {{"FUZZ.DLL", {{"Alpha"}, {"Zeta"}, byOrdinal(2), {"HeapAlloc"}}},
                    {"KERNEL32.dll", {{"GetVersion"}, byOrdinal(3)}},
                    {"PARTNER.DLL", {{"Alpha"}}}};
    return buildImage(plan).bytes;
  }();
  return bytes;
}

// A DLL exporting by name, by ordinal alone and through a forwarder back to
// FUZZ.DLL.
const std::vector<uint8_t>& partner() {
  static const std::vector<uint8_t> bytes = [] {
    ImagePlan plan;
    plan.dll = true;
    plan.exportModuleName = "PARTNER.DLL";
    plan.modules = {{"FUZZ.DLL", {{"Zeta"}}}};
    plan.exports = {{"Alpha", ""}, {"", ""}, {"Zeta", "FUZZ.Zeta"}, {"Back", "PARTNER.Zeta"}};
    return buildImage(plan).bytes;
  }();
  return bytes;
}

void checkBoth(MemoryFiles& files, const std::string& image) {
  check::Host host;
  host.name = "fuzz";
  host.modules["KERNEL32.DLL"].names = {"GetVersion"};
  host.modules["KERNEL32.DLL"].ordinals = {3};
  check::Checker checker(files, {"lib"}, {host}, true);
  const std::vector<check::LoadResult> results = checker.check(image);
  wholeReport(check::Format::Text, {"fuzz"}, image, results, true);
  // Every form parses back; what does not ends the run as a finding.
  if (!nlohmann::json::accept(wholeReport(check::Format::Json, {"fuzz"}, image, results)) ||
      !nlohmann::json::accept(wholeReport(check::Format::Sarif, {"fuzz"}, image, results)) ||
      !xmlcheck::wellFormed(wholeReport(check::Format::Junit, {"fuzz"}, image, results)))
    abort();
  // One workflow command a line, each line one command.
  const std::string github = wholeReport(check::Format::Github, {"fuzz"}, image, results);
  for (size_t at = 0, end; at < github.size(); at = end + 1) {
    end = github.find('\n', at);
    if (end == std::string::npos || github.compare(at, 2, "::") != 0 || github.find('\r', at) < end) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes fuzzed = {data, static_cast<uint32_t>(size)};
  const Bytes app = {program().data(), static_cast<uint32_t>(program().size())};
  const Bytes dll = {partner().data(), static_cast<uint32_t>(partner().size())};
  {
    MemoryFiles files;
    files.files = {{"APP.EXE", app}, {"FUZZ.DLL", fuzzed}, {"PARTNER.DLL", dll}};
    checkBoth(files, "APP.EXE");
  }
  {
    MemoryFiles files;
    files.files = {{"FUZZ.EXE", fuzzed}, {"PARTNER.DLL", dll}, {"FUZZ.DLL", fuzzed}};
    checkBoth(files, "FUZZ.EXE");
  }
  fuzzReleaseAll();
  return 0;
}
