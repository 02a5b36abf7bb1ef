// zymran-check's reports: plain text for a person, one JSON document for a
// script. Names come from images, so the text shows every byte below 0x20,
// 0x7F and above 0x7F as \xHH, and the JSON reads bytes 0x80-0xFF as the
// characters U+0080-U+00FF: no image can move the cursor, break a line or
// make a document that is not UTF-8.
#ifndef ZYMRAN_CHECK_REPORT_H
#define ZYMRAN_CHECK_REPORT_H

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "check/model.h"

namespace check {

// The report, written image by image as each is checked: begin(), then
// add() for each image, then end(), each giving the text that comes next.
// Memory follows one image's results, but for the rows of the closing table
// of a text report with two or more hosts, which grow over the run.
class Report {
 public:
  // `all` lists every module and function checked in the text report, not
  // only what fails.
  Report(std::vector<std::string> hosts, bool json, bool all);
  std::string begin();
  std::string add(const std::string& image, const std::vector<LoadResult>& results);
  // With two or more hosts, the text report closes with a table of every
  // function missing under at least one host.
  std::string end();

 private:
  struct Row {
    std::string label;
    std::vector<std::string> cells;  // one per host
  };
  std::vector<std::string> hosts_;
  bool json_;
  bool all_;
  size_t images_ = 0;
  // (image, upper-cased module, needer, function) -> row.
  std::map<std::tuple<std::string, std::string, std::string, FunctionRef>, Row> rows_;
};

// Text as the text report shows it.
std::string shown(const std::string& text);

}  // namespace check

#endif
