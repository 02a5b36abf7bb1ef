// Build helper: turns module-definition files into the stand-in host's module
// table, a C++ source; or, for zymran-check's built-in host, into the files'
// texts as they are.
//
//   zymran_make_table <output.cc> <file.def>...
//   zymran_make_table --texts <output.cc> <file.def>...
//
// A module name without an extension gets ".dll"; each module's exports are
// sorted by byte value, once each, for the binary search of the lookup. The
// output is rewritten only when it changes, so that an unchanged profile
// rebuilds nothing. A file that is not understood fails the build with its
// name, line and what is wrong; so do two files of one module (the lookup
// would find only one of them) and two names that differ only in case (a
// system that ignores case holds only one of them).
#include <stdio.h>

#include <algorithm>
#include <string>
#include <vector>

#include "check/files.h"
#include "host/deffile.h"
#include "image/modules.h"

namespace {

struct Module {
  std::string name;
  std::vector<std::string> exports;
};

bool readFile(const std::string& path, std::string* text) {
  std::string reason;
  return check::readWholeFile(path, text, &reason);
}

// The stand-in host looks exports up by name: entries without one are left
// out.
void addExport(void* context, const DefExport& entry) {
  if (!entry.noName) static_cast<Module*>(context)->exports.emplace_back(entry.name.text, entry.name.length);
}

// A C string literal of `text`: backslash, quote and question mark escaped
// (no trigraph can form), bytes outside printable ASCII in octal.
std::string literal(const std::string& text) {
  std::string out = "\"";
  for (const char byte : text) {
    const unsigned char c = static_cast<unsigned char>(byte);
    if (c == '\\' || c == '"' || c == '?') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char octal[5];
      snprintf(octal, sizeof octal, "\\%03o", c);
      out += octal;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string tableSource(const std::vector<Module>& modules) {
  std::string body, table;
  for (size_t m = 0; m < modules.size(); ++m) {
    const Module& module = modules[m];
    body += "const char* const exports" + std::to_string(m) + "[] = {\n";
    for (const std::string& name : module.exports) body += "    " + literal(name) + ",\n";
    if (module.exports.empty()) body += "    nullptr,\n";
    body += "};\n";
    table += "    {" + literal(module.name) + ", exports" + std::to_string(m) + ", " +
             std::to_string(module.exports.size()) + "u},\n";
  }
  if (modules.empty()) table = "    {\"\", nullptr, 0u},\n";
  return "// Generated from module-definition files by zymran_make_table.\n"
         "#include \"host/standin.h\"\n\nnamespace {\n" + body + "}  // namespace\n\n"
         "const HostModule hostModules[] = {\n" + table + "};\n"
         "const unsigned hostModuleCount = " + std::to_string(modules.size()) + "u;\n";
}

// The files' texts, for zymran-check's built-in host, which reads them as it
// reads any host's module-definition files.
std::string textsSource(const std::vector<std::string>& files, const std::vector<std::string>& texts) {
  std::string table;
  for (size_t i = 0; i < files.size(); ++i) {
    std::string name = files[i];
    const size_t slash = name.find_last_of('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    table += "    {" + literal(name) + ",\n";
    // One literal a line, so that the source stays readable.
    for (size_t at = 0; at < texts[i].size();) {
      const size_t end = texts[i].find('\n', at);
      const size_t stop = end == std::string::npos ? texts[i].size() : end + 1;
      table += "     " + literal(texts[i].substr(at, stop - at)) + "\n";
      at = stop;
    }
    if (texts[i].empty()) table += "     \"\"\n";
    table += "     , " + std::to_string(texts[i].size()) + "u},\n";
  }
  if (files.empty()) table = "    {\"\", \"\", 0u},\n";
  return "// Generated from module-definition files by zymran_make_table.\n"
         "#include \"check/builtin.h\"\n\n"
         "const BuiltinProfile builtinProfiles[] = {\n" + table + "};\n"
         "const unsigned builtinProfileCount = " + std::to_string(files.size()) + "u;\n";
}

// Writes under a temporary name and renames; the temporary file never stays.
bool writeIfChanged(const std::string& path, const std::string& source) {
  std::string old;
  if (readFile(path, &old) && old == source) return true;
  const std::string temporary = path + ".tmp";
  remove(temporary.c_str());
  FILE* f = fopen(temporary.c_str(), "wb");
  if (f == nullptr) return false;
  const bool written = fwrite(source.data(), 1, source.size(), f) == source.size();
  bool done = fclose(f) == 0 && written;
  if (done) {
    remove(path.c_str());
    done = rename(temporary.c_str(), path.c_str()) == 0;
  }
  if (!done) remove(temporary.c_str());
  return done;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--texts") {
    std::vector<std::string> files(argv + 3, argv + argc);
    std::vector<std::string> texts(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      if (!readFile(files[i], &texts[i])) {
        fprintf(stderr, "%s: can't be read\n", files[i].c_str());
        return 1;
      }
    }
    if (!writeIfChanged(argv[2], textsSource(files, texts))) {
      fprintf(stderr, "%s: can't be written\n", argv[2]);
      return 1;
    }
    return 0;
  }
  if (argc < 2) {
    fprintf(stderr, "usage: zymran_make_table [--texts] <output.cc> <file.def>...\n");
    return 2;
  }
  std::vector<Module> modules;
  for (int i = 2; i < argc; ++i) {
    std::string text;
    if (!readFile(argv[i], &text)) {
      fprintf(stderr, "%s: can't be read\n", argv[i]);
      return 1;
    }
    Module module;
    DefText name;
    DefFault fault;
    if (!readDefinition(text.data(), text.size(), &name, addExport, &module, &fault)) {
      if (fault.line == 0) fprintf(stderr, "%s: %s\n", argv[i], fault.what.text);
      else fprintf(stderr, "%s:%u: %s\n", argv[i], fault.line, fault.what.text);
      return 1;
    }
    module.name.assign(name.text, name.length);
    if (!hasExtension(module.name.c_str())) module.name += kDefaultExtension;
    std::sort(module.exports.begin(), module.exports.end());
    module.exports.erase(std::unique(module.exports.begin(), module.exports.end()),
                         module.exports.end());
    for (int earlier = 2; earlier < i; ++earlier) {
      const Module& other = modules[static_cast<size_t>(earlier - 2)];
      if (argv[earlier] != std::string(argv[i]) && sameIgnoringCase(argv[earlier], argv[i])) {
        fprintf(stderr, "%s: a name that differs only in case from %s\n", argv[i], argv[earlier]);
        return 1;
      }
      if (sameModule(other.name.c_str(), module.name.c_str())) {
        fprintf(stderr, "%s: defines the module %s again, after %s\n", argv[i], module.name.c_str(),
                argv[earlier]);
        return 1;
      }
    }
    modules.push_back(module);
  }
  if (!writeIfChanged(argv[1], tableSource(modules))) {
    fprintf(stderr, "%s: can't be written\n", argv[1]);
    return 1;
  }
  return 0;
}
