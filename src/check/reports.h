// The reports beside the text report, and what they share with it.
#ifndef ZYMRAN_CHECK_REPORTS_H
#define ZYMRAN_CHECK_REPORTS_H

#include <memory>
#include <string>
#include <vector>

#include "check/report.h"

namespace check {

std::unique_ptr<Report> makeJsonReport(const RunInfo& run);
std::unique_ptr<Report> makeJunitReport(const RunInfo& run);
std::unique_ptr<Report> makeSarifReport(const RunInfo& run);
std::unique_ptr<Report> makeGithubReport(const RunInfo& run);

// A problem of the baseline as the text report lists what was fixed:
// "<image> under <host>: <what>".
std::string problemText(const Problem& p);

// One problem of a result as the CI forms show it: each module, function or
// the image itself that fails (not the functions of a module that fails
// whole, which are its detail).
struct ProblemLine {
  const char* rule;  // what kind of problem it is
  std::string text;  // its line in the text report
  bool delayed = false;
  bool known = false;
  Chain chain;             // to the image that needs it
  bool hasChain = false;   // false for a problem of the image itself
  // The lines under it in the text report: the functions needed from a
  // module that fails whole.
  std::vector<std::string> detail;
};
std::vector<ProblemLine> problemLines(const std::string& image, const LoadResult& r,
                                      const std::vector<std::string>& folders);

// The kinds of problem, each with a short description.
struct Rule {
  const char* id;
  const char* description;
};
extern const Rule kRules[];
extern const size_t kRuleCount;

}  // namespace check

#endif
