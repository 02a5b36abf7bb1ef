#include "check/run.h"

#include <sys/stat.h>

#include <set>

#include "check/disk.h"
#include "check/hosts.h"
#include "check/report.h"

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
  return kGoOn;
}

// What could not be checked for one image: folders that can't be listed,
// the image itself, files that can't be read (each once a run).
int reportFaults(const std::string& image, const std::vector<LoadResult>& results, DiskFiles& files,
                 std::set<std::string>& unreadable, Streams streams) {
  int status = kAllLoad;
  for (const std::string& fault : files.takeFaults()) status = usageError(fault, streams);
  if (!results.empty() && results[0].state == ImageState::Unopened)
    status = usageError(image + ": can't be opened", streams);
  for (const LoadResult& r : results)
    for (const ModuleResult& m : r.modules)
      if (m.kind == Kind::Unreadable && unreadable.insert(*m.file).second)
        status = usageError(*m.file + ": can't be read: " + *m.error, streams);
  return status;
}

}  // namespace

int runCheck(const Options& options, Streams streams) {
  std::vector<Host> hosts;
  const int hostStatus = readHosts(options, &hosts, streams);
  if (hostStatus != kGoOn) return hostStatus;
  for (const std::string& folder : options.folders)
    if (!isFolder(folder)) return usageError("--path " + folder + ": not a folder", streams);

  std::vector<std::string> hostNames;
  for (const Host& host : hosts) hostNames.push_back(host.name);
  DiskFiles files;
  Checker checker(files, options.folders, std::move(hosts), options.all);
  Report report(hostNames, options.json, options.all);
  std::set<std::string> unreadable;
  int status = kAllLoad;
  // Each image's report is written as soon as it is checked.
  if (!writeOut(report.begin(), streams)) return kNotChecked;
  for (const std::string& image : options.images) {
    const std::vector<LoadResult> results = checker.check(image);
    for (const LoadResult& r : results)
      if (!r.loads) status = std::max(status, kSomeFail);
    status = std::max(status, reportFaults(image, results, files, unreadable, streams));
    if (!writeOut(report.add(image, results), streams)) return kNotChecked;
  }
  if (!writeOut(report.end(), streams)) return kNotChecked;
  return status;
}

}  // namespace check
