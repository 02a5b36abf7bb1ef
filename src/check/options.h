// zymran-check's command line, read into one record.
#ifndef ZYMRAN_CHECK_OPTIONS_H
#define ZYMRAN_CHECK_OPTIONS_H

#include <stdio.h>

#include <string>
#include <utility>
#include <vector>

#include "check/report.h"

namespace check {

struct Options {
  std::vector<std::string> hosts;    // "NAME=DIR", in the order given
  std::vector<std::string> folders;  // searched after each image's own folder
  std::vector<std::string> images;
  Format format = Format::Text;      // of the report on standard output
  std::vector<std::pair<Format, std::string>> reports;  // written to files as well
  std::vector<std::string> required;  // the hosts that decide the status; empty: all
  std::string baseline;               // a JSON report of known problems, when not empty
  bool all = false;
};

// Where a run writes: its report, and its messages.
struct Streams {
  FILE* out;
  FILE* err;
};

// Every message of zymran-check starts with this.
extern const char kPrefix[];  // "zymran-check: "

// The exit statuses; the highest one met is returned.
const int kAllLoad = 0;
const int kSomeFail = 1;
const int kNotChecked = 2;  // a usage error, or something that could not be checked

// Reads the command line into `options`. Returns kGoOn when the run goes on;
// otherwise the help, the version or a usage error has been written and the
// exit status is returned.
const int kGoOn = -1;
int parseOptions(int argc, const char* const* argv, Options* options, Streams streams);

// Writes `text` to `stream` and flushes it; false, after saying so on
// `streams.err`, when it can't be written.
bool writeOut(const std::string& text, Streams streams);

}  // namespace check

#endif
