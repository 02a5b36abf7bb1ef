// Known problems: a JSON report of an earlier run, read as the problems it
// holds, so that a run reports them as known and fails only on new ones.
#ifndef ZYMRAN_CHECK_BASELINE_H
#define ZYMRAN_CHECK_BASELINE_H

#include <stdint.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "check/model.h"

namespace check {

// A problem of one image under one host: of the image itself, of a module,
// or of a function. Two problems are the same when all of this is, module
// names compared in any case.
struct Problem {
  std::string host;
  std::string image;   // as named on the command line
  std::string module;  // as spelled; empty for a problem of the image itself
  std::string kind;    // of a module's or the image's problem; empty for a function's
  bool isFunction = false;
  std::string function;  // by name
  bool byOrdinal = false;
  uint32_t ordinal = 0;
  std::string neededBy;  // for a function
};

class Baseline {
 public:
  // Reads the JSON report at `path`. False, with why in `*error`, when it
  // can't be read or is no zymran-check document.
  bool read(const std::string& path, std::string* error);
  // Whether the baseline holds `problem`; marks it met.
  bool holds(const Problem& problem);
  // The problems of the baseline that were never met, in its order.
  std::vector<Problem> unmet() const;

 private:
  void add(const Problem& problem);
  std::vector<Problem> problems_;
  std::vector<bool> met_;
  std::unordered_map<std::string, size_t> index_;
};

// Marks what fails in `results` of `image` as known when `baseline` (null
// for none) holds it, and sets whether each result passes: it loads, or all
// that fails at load time is known.
void settle(const std::string& image, std::vector<LoadResult>& results, Baseline* baseline);

}  // namespace check

#endif
