#include "check/options.h"

#include <CLI/CLI.hpp>

namespace check {

const char kPrefix[] = "zymran-check: ";

bool writeOut(const std::string& text, Streams streams) {
  if (fwrite(text.data(), 1, text.size(), streams.out) == text.size() && fflush(streams.out) == 0) return true;
  fprintf(streams.err, "%scan't write to standard output\n", kPrefix);
  return false;
}

namespace {

struct Given {
  std::string format;
  std::vector<std::string> reports;
  bool json = false;
};

void addOptions(CLI::App& app, Options* options, Given* given) {
  app.set_version_flag("--version", "zymran-check " ZYMRAN_VERSION);
  app.add_option("--host", options->hosts,
                 "A host version: DIR holds its KERNEL32, NTDLL and USER32, each as the host's DLL or as "
                 "a module-definition file (repeatable, oldest first; without it: built-in)")
      ->type_name("NAME=DIR")
      ->allow_extra_args(false);  // one value each time: the images follow
  app.add_option("--path", options->folders,
                 "A folder searched for the program's own DLLs, after the image's folder (repeatable)")
      ->type_name("DIR")
      ->allow_extra_args(false);
  app.add_option("--format", given->format, "The report on standard output: text, json, junit, sarif or github")
      ->type_name("FORMAT");
  app.add_flag("--json", given->json, "The same as --format json");
  app.add_option("--report", given->reports, "Also write a report in FORMAT to FILE (repeatable)")
      ->type_name("FORMAT=FILE")
      ->allow_extra_args(false);
  app.add_option("--require", options->required,
                 "Only the hosts named so decide the exit status (repeatable; the others are reported)")
      ->type_name("NAME")
      ->allow_extra_args(false);
  app.add_option("--baseline", options->baseline,
                 "A JSON report of an earlier run: the problems it holds are known and fail nothing")
      ->type_name("FILE");
  app.add_flag("--all", options->all, "List every module and function checked, not only what fails");
  app.add_option("IMAGE", options->images, "A program or DLL to check")->required();
}

// The formats given by name; false, after saying why, for a name that is
// none.
bool readFormats(const Given& given, Options* options, Streams streams) {
  if (!given.format.empty() && !parseFormat(given.format, &options->format)) {
    fprintf(streams.err, "%s--format %s: not one of text, json, junit, sarif, github\n", kPrefix,
            shown(given.format).c_str());
    return false;
  }
  if (given.json) {
    if (!given.format.empty() && options->format != Format::Json) {
      fprintf(streams.err, "%s--json and --format %s ask for two reports on standard output\n", kPrefix,
              shown(given.format).c_str());
      return false;
    }
    options->format = Format::Json;
  }
  for (const std::string& report : given.reports) {
    const size_t eq = report.find('=');
    Format format;
    if (eq == std::string::npos || eq + 1 == report.size() || !parseFormat(report.substr(0, eq), &format)) {
      fprintf(streams.err, "%s--report %s: expected FORMAT=FILE, FORMAT one of text, json, junit, sarif, github\n",
              kPrefix, shown(report).c_str());
      return false;
    }
    options->reports.emplace_back(format, report.substr(eq + 1));
  }
  return true;
}

}  // namespace

int parseOptions(int argc, const char* const* argv, Options* options, Streams streams) {
  CLI::App app{"Checks whether programs and the DLLs they ship load under each version of the host.",
               "zymran-check"};
  Given given;
  addOptions(app, options, &given);
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    return writeOut(app.help(), streams) ? kAllLoad : kNotChecked;
  } catch (const CLI::CallForVersion& e) {
    return writeOut(std::string(e.what()) + "\n", streams) ? kAllLoad : kNotChecked;
  } catch (const CLI::ParseError& e) {
    fprintf(streams.err, "%s%s (see --help)\n", kPrefix, shown(e.what()).c_str());
    return kNotChecked;
  }
  return readFormats(given, options, streams) ? kGoOn : kNotChecked;
}

}  // namespace check
