// zymran-check's reports: plain text for a person, one JSON document for a
// script. Names come from images, so the text shows every byte below 0x20,
// 0x7F and above 0x7F as \xHH, and the JSON reads bytes 0x80-0xFF as the
// characters U+0080-U+00FF: no image can move the cursor, break a line or
// make a document that is not UTF-8.
#ifndef ZYMRAN_CHECK_REPORT_H
#define ZYMRAN_CHECK_REPORT_H

#include <string>
#include <vector>

#include "check/model.h"

namespace check {

// One image named on the command line, with its result under each host.
struct ImageReport {
  std::string image;  // as named on the command line
  std::vector<LoadResult> results;
};

// The text report. `all` lists every module and function checked, not only
// what fails.
std::string textReport(const std::vector<ImageReport>& images, const std::vector<std::string>& hosts,
                       bool all);

// The JSON report, "zymran-check 1".
std::string jsonReport(const std::vector<ImageReport>& images, const std::vector<std::string>& hosts);

// Text as the text report shows it.
std::string shown(const std::string& text);

}  // namespace check

#endif
