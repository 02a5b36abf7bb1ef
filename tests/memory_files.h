// Images in memory for zymran-check's load model: files by name, found in
// any folder, each read once.
#ifndef ZYMRAN_TESTS_MEMORY_FILES_H
#define ZYMRAN_TESTS_MEMORY_FILES_H

#include <map>
#include <memory>
#include <string>

#include "check/baseline.h"
#include "check/files.h"
#include "check/model.h"
#include "check/report.h"

class MemoryFiles : public check::Files {
 public:
  std::map<std::string, Bytes> files;  // by name

  std::string find(const std::string& folder, const std::string& name) override {
    for (const auto& file : files)
      if (check::upperCase(file.first) == check::upperCase(name))
        return folder.empty() ? file.first : folder + "/" + file.first;
    return "";
  }

  const check::ImageInfo* read(const std::string& path, std::string* reason) override {
    const std::string name = check::fileName(path);
    const auto file = files.find(name);
    if (file == files.end()) {
      *reason = "No such file or directory";
      return nullptr;
    }
    auto done = read_.find(name);
    if (done == read_.end()) done = read_.emplace(name, check::readImage(bytesSource(&file->second), names)).first;
    return &done->second;
  }

 private:
  std::map<std::string, check::ImageInfo> read_;
};

// The whole report in `format` on one image's results under `hosts`.
inline std::string wholeReport(check::Format format, const std::vector<std::string>& hosts, const std::string& image,
                               std::vector<check::LoadResult> results, bool all = false) {
  check::RunInfo run;
  run.hosts = hosts;
  run.all = all;
  check::ImageResults checked;
  checked.image = image;
  checked.results = std::move(results);
  check::settle(image, checked.results, nullptr);
  check::findLoadsFrom(&checked);
  const std::unique_ptr<check::Report> report = check::makeReport(format, run);
  std::string text = report->begin();
  text += report->add(checked);
  return text + report->end({});
}

#endif
