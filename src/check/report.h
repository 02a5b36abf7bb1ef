// zymran-check's reports: plain text for a person, one JSON document for a
// script, and the forms CI dashboards read (JUnit XML, SARIF, GitHub
// workflow commands). Names come from images, so the text shows every byte
// below 0x20, 0x7F and above 0x7F as \xHH, and the JSON reads bytes
// 0x80-0xFF as the characters U+0080-U+00FF: no image can move the cursor,
// break a line or make a document that is not UTF-8.
#ifndef ZYMRAN_CHECK_REPORT_H
#define ZYMRAN_CHECK_REPORT_H

#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "check/baseline.h"
#include "check/model.h"

namespace check {

enum class Format { Text, Json, Junit, Sarif, Github };
// The format of a name ("text", "json", "junit", "sarif", "github"); false
// for any other.
bool parseFormat(const std::string& name, Format* format);

// What every report knows of the run.
struct RunInfo {
  std::vector<std::string> hosts;    // in the order given
  std::vector<std::string> folders;  // searched after each image's own folder
  bool all = false;                  // every module and function, not only what fails
  bool baseline = false;             // problems are matched against a baseline
  // Whether each host decides the status (--require): the others' problems
  // are reported for information.
  std::vector<bool> decides;
  bool decisive(size_t host) const { return host >= decides.size() || decides[host]; }
};

// One image's results under every host, with the hosts it loads under.
struct ImageResults {
  std::string image;  // as named on the command line
  std::vector<LoadResult> results;
  std::vector<size_t> loadsUnder;  // the hosts it loads under, in order
  // The first host it loads under, and under every host after it; -1 for
  // none.
  long loadsFrom = -1;
};
// Sets loadsUnder and loadsFrom from the results.
void findLoadsFrom(ImageResults* image);

// A report, written image by image as each is checked: begin(), then add()
// for each image, then end(), each giving the text that comes next.
class Report {
 public:
  virtual ~Report() = default;
  virtual std::string begin() = 0;
  virtual std::string add(const ImageResults& image) = 0;
  // `fixed`: the problems of the baseline that were not met.
  virtual std::string end(const std::vector<Problem>& fixed) = 0;
};
std::unique_ptr<Report> makeReport(Format format, const RunInfo& run);

// Text as the text report shows it.
std::string shown(const std::string& text);

// The lines of the text report, without their indent and line end, that
// other forms quote.
std::string moduleLine(const ModuleResult& m, const std::vector<std::string>& folders, const LoadResult& r);
std::string functionLine(const FunctionResult& f, const LoadResult& r);
std::string delayDamageLine(const DelayDamage& d, const LoadResult& r);
// The line of a problem of the image itself: "<file>: <what>".
std::string imageLine(const std::string& image, const LoadResult& r);
std::string verdictLine(const std::string& image, const LoadResult& r);
// The folders a module is searched in, as shown: the image's own, then the
// others, each once, each ending in '/'.
std::vector<std::string> searchFolders(const std::string& image, const RunInfo& run);

}  // namespace check

#endif
