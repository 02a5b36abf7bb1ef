#include "check/run.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>

#include "check/baseline.h"
#include "check/disk.h"
#include "check/hosts.h"

namespace check {

namespace {

int usageError(const std::string& what, Streams streams) {
  fprintf(streams.err, "%s%s\n", kPrefix, shown(what).c_str());
  return kNotChecked;
}

bool isFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The hosts of the command line, or the built-in one; kGoOn, or the status
// of a usage error.
int readHosts(const Options& options, std::vector<Host>* hosts, Streams streams) {
  std::set<std::string> names;
  for (const std::string& given : options.hosts) {
    const size_t eq = given.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == given.size())
      return usageError("--host " + given + ": expected NAME=DIR", streams);
    if (!names.insert(given.substr(0, eq)).second)
      return usageError("--host " + given + ": a second host of that name", streams);
    Host host;
    std::string error;
    if (!readHostFolder(given.substr(0, eq), given.substr(eq + 1), &host, &error))
      return usageError("host " + given.substr(0, eq) + ": " + error, streams);
    hosts->push_back(std::move(host));
  }
  if (!hosts->empty()) return kGoOn;
  Host host;
  std::string error;
  if (!builtinHost(&host, &error)) return usageError("built-in host: " + error, streams);
  hosts->push_back(std::move(host));
  fprintf(streams.err,
          "%sno --host given: checking against the built-in host, the sample profile this program was built "
          "with, which claims nothing about any real host version\n",
          kPrefix);
  return kGoOn;
}

// Which hosts decide the status: those of --require, or all.
int decidingHosts(const Options& options, const std::vector<std::string>& names, std::vector<bool>* decides,
                  Streams streams) {
  decides->assign(names.size(), options.required.empty());
  for (const std::string& name : options.required) {
    const auto found = std::find(names.begin(), names.end(), name);
    if (found == names.end()) return usageError("--require " + name + ": no host of that name in this run", streams);
    (*decides)[static_cast<size_t>(found - names.begin())] = true;
  }
  return kGoOn;
}

// What could not be checked for one image: folders that can't be listed,
// the image itself, files that can't be read (each once a run).
int reportFaults(const ImageResults& image, DiskFiles& files, std::set<std::string>& unreadable,
                 Streams streams) {
  int status = kAllLoad;
  for (const std::string& fault : files.takeFaults()) status = usageError(fault, streams);
  if (!image.results.empty() && image.results[0].state == ImageState::Unopened)
    status = usageError(image.image + ": can't be opened", streams);
  for (const LoadResult& r : image.results)
    for (const ModuleResult& m : r.modules)
      if (m.kind == Kind::Unreadable && unreadable.insert(*m.file).second)
        status = usageError(*m.file + ": can't be read: " + *m.error, streams);
  return status;
}

// Where one report goes: standard output, or a file written whole under a
// temporary name and renamed when complete.
class Destination {
 public:
  Destination(Format format, const RunInfo& run, const std::string& path)
      : report_(makeReport(format, run)), path_(path) {}
  ~Destination() { abandon(); }

  // Opens a file's temporary; false, after saying so, when it can't.
  bool open(Streams streams) {
    if (path_.empty()) return true;
    temporary_ = path_ + "." + std::to_string(getpid()) + ".tmp";
    file_ = fopen(temporary_.c_str(), "wb");
    return file_ != nullptr || fail(streams);
  }

  // False when this destination has failed: for standard output, the run
  // ends; a file is left out.
  bool write(const std::string& text, Streams streams) {
    if (path_.empty()) return writeOut(text, streams);
    if (file_ == nullptr) return false;
    return fwrite(text.data(), 1, text.size(), file_) == text.size() || fail(streams);
  }

  bool finish(Streams streams) {
    if (file_ == nullptr) return path_.empty();
    const bool closed = fclose(file_) == 0;
    file_ = nullptr;
    if (!closed || rename(temporary_.c_str(), path_.c_str()) != 0) return fail(streams);
    temporary_.clear();
    return true;
  }

  Report& report() { return *report_; }
  bool failed() const { return !path_.empty() && file_ == nullptr; }

 private:
  bool fail(Streams streams) {
    usageError(path_ + ": can't be written: " + strerror(errno), streams);
    abandon();
    return false;
  }

  void abandon() {
    if (file_ != nullptr) fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) remove(temporary_.c_str());
    temporary_.clear();
  }

  std::unique_ptr<Report> report_;
  std::string path_;
  std::string temporary_;
  FILE* file_ = nullptr;
};

// The run once its command line is read and found sound.
class Run {
 public:
  Run(const Options& options, std::vector<Host> hosts, const RunInfo& info, Streams streams)
      : options_(options),
        info_(info),
        streams_(streams),
        checker_(files_, options.folders, std::move(hosts), options.all) {}

  int go(Baseline* baseline);

 private:
  void open();
  bool emit(size_t d, const std::string& text);

  const Options& options_;
  const RunInfo& info_;
  Streams streams_;
  DiskFiles files_;
  Checker checker_;
  std::vector<std::unique_ptr<Destination>> destinations_;
  int status_ = kAllLoad;
};

void Run::open() {
  destinations_.emplace_back(new Destination(options_.format, info_, ""));
  for (const auto& report : options_.reports) {
    destinations_.emplace_back(new Destination(report.first, info_, report.second));
    if (!destinations_.back()->open(streams_)) status_ = kNotChecked;
  }
}

// Hands `text` to destination `d`; false when that ends the run.
bool Run::emit(size_t d, const std::string& text) {
  Destination& destination = *destinations_[d];
  if (destination.failed()) return true;
  if (destination.write(text, streams_)) return true;
  status_ = kNotChecked;
  return d != 0;
}

int Run::go(Baseline* baseline) {
  open();
  for (size_t d = 0; d < destinations_.size(); ++d)
    if (!emit(d, destinations_[d]->report().begin())) return kNotChecked;
  std::set<std::string> unreadable;
  for (const std::string& name : options_.images) {
    ImageResults image;
    image.image = name;
    image.results = checker_.check(name);
    settle(name, image.results, baseline);
    findLoadsFrom(&image);
    for (size_t h = 0; h < image.results.size(); ++h)
      if (info_.decisive(h) && !image.results[h].passes) status_ = std::max(status_, kSomeFail);
    status_ = std::max(status_, reportFaults(image, files_, unreadable, streams_));
    // Each image's report is written as soon as it is checked.
    for (size_t d = 0; d < destinations_.size(); ++d)
      if (!emit(d, destinations_[d]->report().add(image))) return kNotChecked;
  }
  const std::vector<Problem> fixed = baseline != nullptr ? baseline->unmet() : std::vector<Problem>();
  for (size_t d = 0; d < destinations_.size(); ++d) {
    if (!emit(d, destinations_[d]->report().end(fixed))) return kNotChecked;
    if (d > 0 && !destinations_[d]->failed() && !destinations_[d]->finish(streams_)) status_ = kNotChecked;
  }
  return status_;
}

}  // namespace

int runCheck(const Options& options, Streams streams) {
  std::vector<Host> hosts;
  const int hostStatus = readHosts(options, &hosts, streams);
  if (hostStatus != kGoOn) return hostStatus;
  RunInfo info;
  for (const Host& host : hosts) info.hosts.push_back(host.name);
  info.folders = options.folders;
  info.all = options.all;
  info.baseline = !options.baseline.empty();
  if (decidingHosts(options, info.hosts, &info.decides, streams) != kGoOn) return kNotChecked;
  for (const std::string& folder : options.folders)
    if (!isFolder(folder)) return usageError("--path " + folder + ": not a folder", streams);
  Baseline baseline;
  std::string error;
  if (info.baseline && !baseline.read(options.baseline, &error)) return usageError("--baseline " + error, streams);
  Run run(options, std::move(hosts), info, streams);
  return run.go(info.baseline ? &baseline : nullptr);
}

}  // namespace check
