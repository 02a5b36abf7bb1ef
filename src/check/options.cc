#include "check/options.h"

#include <CLI/CLI.hpp>

#include "check/report.h"

namespace check {

const char kPrefix[] = "zymran-check: ";

bool writeOut(const std::string& text, Streams streams) {
  if (fwrite(text.data(), 1, text.size(), streams.out) == text.size() && fflush(streams.out) == 0) return true;
  fprintf(streams.err, "%scan't write to standard output\n", kPrefix);
  return false;
}

int parseOptions(int argc, const char* const* argv, Options* options, Streams streams) {
  CLI::App app{"Checks whether programs and the DLLs they ship load under each version of the host.",
               "zymran-check"};
  app.set_version_flag("--version", "zymran-check " ZYMRAN_VERSION);
  app.add_option("--host", options->hosts,
                 "A host version: DIR holds its KERNEL32, NTDLL and USER32, each as the host's DLL or as "
                 "a module-definition file (repeatable; reported in this order; without it: built-in)")
      ->type_name("NAME=DIR")
      ->allow_extra_args(false);  // one value each time: the images follow
  app.add_option("--path", options->folders,
                 "A folder searched for the program's own DLLs, after the image's folder")
      ->type_name("DIR")
      ->allow_extra_args(false);
  app.add_flag("--json", options->json, "Write the report as one JSON document");
  app.add_flag("--all", options->all, "List every module and function checked, not only what fails");
  app.add_option("IMAGE", options->images, "A program or DLL to check")->required();
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
  return kGoOn;
}

}  // namespace check
