// zymran-check: whether programs, with the DLLs they ship, load under each
// host version.
//
//   zymran-check [--host NAME=DIR]... [--path DIR]... [--json] [--all] IMAGE...
//
// Exit status: 0 every image loads under every host; 1 some image does not
// load under some host; 2 a usage error, a host folder that can't be used, or
// an image named on the command line that can't be opened (the others are
// still checked). The highest status met is returned.
#include <stdio.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "check/disk.h"
#include "check/hosts.h"
#include "check/report.h"

namespace {

int usageError(const std::string& what) {
  fprintf(stderr, "zymran-check: %s\n", check::shown(what).c_str());
  return 2;
}

bool emit(const std::string& text) { return fwrite(text.data(), 1, text.size(), stdout) == text.size(); }

bool isFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Checks whether programs and the DLLs they ship load under each version of the host.",
               "zymran-check"};
  std::vector<std::string> hostArgs, folders, images;
  bool json = false;
  bool all = false;
  app.set_version_flag("--version", "zymran-check " ZYMRAN_VERSION);
  app.add_option("--host", hostArgs,
                 "A host version: DIR holds its KERNEL32, NTDLL and USER32, each as the host's DLL or as "
                 "a module-definition file (repeatable; reported in this order; without it: built-in)")
      ->type_name("NAME=DIR")
      ->allow_extra_args(false);  // one value each time: the images follow
  app.add_option("--path", folders, "A folder searched for the program's own DLLs, after the image's folder")
      ->type_name("DIR")
      ->allow_extra_args(false);
  app.add_flag("--json", json, "Write the report as one JSON document");
  app.add_flag("--all", all, "List every module and function checked, not only what fails");
  app.add_option("IMAGE", images, "A program or DLL to check")->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }

  std::vector<check::Host> hosts;
  std::set<std::string> names;
  for (const std::string& given : hostArgs) {
    const size_t eq = given.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == given.size())
      return usageError("--host " + given + ": expected NAME=DIR");
    check::Host host;
    std::string error;
    if (!names.insert(given.substr(0, eq)).second) return usageError("--host " + given + ": a second host of that name");
    if (!check::readHostFolder(given.substr(0, eq), given.substr(eq + 1), &host, &error))
      return usageError("host " + given.substr(0, eq) + ": " + error);
    hosts.push_back(host);
  }
  if (hosts.empty()) {
    check::Host host;
    std::string error;
    if (!check::builtinHost(&host, &error)) return usageError("built-in host: " + error);
    hosts.push_back(host);
  }
  for (const std::string& folder : folders)
    if (!isFolder(folder)) return usageError("--path " + folder + ": not a folder");

  // Each image's report is written as soon as it is checked.
  check::DiskFiles files;
  std::vector<std::string> hostNames;
  for (const check::Host& host : hosts) hostNames.push_back(host.name);
  check::Report report(hostNames, json, all);
  check::Checker checker(files, folders, hosts, all);
  bool written = emit(report.begin());
  int status = 0;
  for (size_t i = 0; i < images.size() && written; ++i) {
    const std::vector<check::LoadResult> results = checker.check(images[i]);
    for (const check::LoadResult& r : results)
      if (!r.loads && status < 1) status = 1;
    if (files.read(images[i]) == nullptr) {
      fprintf(stderr, "zymran-check: %s: can't be opened\n", check::shown(images[i]).c_str());
      status = 2;
    }
    written = emit(report.add(images[i], results));
  }
  if (!written || !emit(report.end()) || fflush(stdout) != 0) {
    fprintf(stderr, "zymran-check: can't write to standard output\n");
    return 2;
  }
  return status;
}
