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

bool isFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Checks whether programs and the DLLs they ship load under each version of the host.",
               "zymran-check"};
  std::vector<std::string> hostSpecs, folders, images;
  bool json = false;
  bool all = false;
  app.set_version_flag("--version", "zymran-check " ZYMRAN_VERSION);
  app.add_option("--host", hostSpecs,
                 "A host version: DIR holds its KERNEL32, NTDLL and USER32, each as the host's DLL or as "
                 "a module-definition file (repeatable; reported in this order; without it: built-in)")
      ->type_name("NAME=DIR")
      ->allow_extra_args(false);
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
  for (const std::string& spec : hostSpecs) {
    const size_t eq = spec.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == spec.size())
      return usageError("--host " + spec + ": expected NAME=DIR");
    check::Host host;
    std::string error;
    if (!names.insert(spec.substr(0, eq)).second) return usageError("--host " + spec + ": a second host of that name");
    if (!check::readHostFolder(spec.substr(0, eq), spec.substr(eq + 1), &host, &error))
      return usageError("host " + spec.substr(0, eq) + ": " + error);
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

  check::DiskFiles files;
  std::vector<check::ImageReport> reports;
  std::vector<std::string> hostNames;
  for (const check::Host& host : hosts) hostNames.push_back(host.name);
  int status = 0;
  for (const std::string& image : images) {
    check::ImageReport report;
    report.image = image;
    for (const check::Host& host : hosts) {
      report.results.push_back(check::checkLoad(files, image, folders, host));
      const check::LoadResult& r = report.results.back();
      if (!r.loads && status < 1) status = 1;
    }
    if (files.read(image) == nullptr) {
      fprintf(stderr, "zymran-check: %s: can't be opened\n", check::shown(image).c_str());
      status = 2;
    }
    reports.push_back(report);
  }
  const std::string out = json ? check::jsonReport(reports, hostNames) : check::textReport(reports, hostNames, all);
  if (fwrite(out.data(), 1, out.size(), stdout) != out.size() || fflush(stdout) != 0) {
    fprintf(stderr, "zymran-check: can't write to standard output\n");
    return 2;
  }
  return status;
}
