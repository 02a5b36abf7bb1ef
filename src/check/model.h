// zymran-check's model of a load: an image and the modules it needs, each
// checked once under one host version, as the host's loader would load them.
//
// Module classes are the tool's own: a name equal (ASCII case ignored) to an
// emulated module is emulated; GDI32.dll is not implemented by the host;
// every other name is a file, searched by its exact name in any case in the
// folder of the image named on the command line, then in each search folder.
// The load-time closure is the image and every module reached through
// ordinary imports and forwarders; modules reached only through a delay-load
// import somewhere on the way are delayed. An image loads when nothing in
// its load-time closure is not implemented, not found, damaged or 64-bit and
// no function imported there is missing; delayed problems are reported and
// never decide.
#ifndef ZYMRAN_CHECK_MODEL_H
#define ZYMRAN_CHECK_MODEL_H

#include <stdint.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "image/mapped.h"

namespace check {

// A function as imported or exported: by name, or by ordinal.
struct FunctionRef {
  bool byOrdinal = false;
  std::string name;  // when by name
  uint32_t ordinal = 0;
  bool operator<(const FunctionRef& o) const;
  bool operator==(const FunctionRef& o) const;
};

// What an image imports from one module, as the image names it.
struct ImportedModule {
  std::string name;
  bool delayed = false;
  std::vector<FunctionRef> functions;  // each once, in the order first met
};

// An exported function: its entry, and where it forwards to.
struct ExportEntry {
  bool forwarded = false;
  std::string forwarder;  // "MODULE.Function" or "MODULE.#7"
};

// An image as read from its file: only the headers, section table, import
// and export data are read.
struct ImageInfo {
  enum class State { Read, Damaged, Wide };
  State state = State::Read;
  std::string error;  // what is damaged and where
  std::vector<ImportedModule> imports;
  std::map<std::string, ExportEntry> byName;
  std::map<uint32_t, ExportEntry> byOrdinal;
};

// Reads one image: the headers, the section table, then its import and
// export data.
ImageInfo readImage(ImageSource source);

// Where images come from.
class Files {
 public:
  virtual ~Files() = default;
  // The path of the regular file named `name`, in any case, in `folder` (the
  // current folder when empty, and then the path is the file's name); empty
  // when there is none.
  virtual std::string find(const std::string& folder, const std::string& name) = 0;
  // The image held by the file at `path`, read once however often it is
  // asked for; null when the file can't be opened.
  virtual const ImageInfo* read(const std::string& path) = 0;
};

// A host version: what each emulated module exports.
struct Host {
  struct Module {
    std::set<std::string> names;
    std::set<uint32_t> ordinals;
  };
  std::string name;
  std::map<std::string, Module> modules;  // by upper-cased module name
};

enum class Kind { Emulated, NotImplemented, File, NotFound, Damaged, Wide };
const char* kindText(Kind kind);

struct ModuleResult {
  std::string name;  // as first met
  Kind kind = Kind::NotFound;
  std::string file;  // the file read, for File, Damaged and Wide
  bool delayed = false;
  std::set<std::string> neededBy;  // file names
  std::string error;               // for Damaged
};

struct FunctionResult {
  std::string module;  // as imported
  FunctionRef function;
  std::string neededBy;  // the importing image's file name
  bool delayed = false;
  bool found = false;
  std::string note;  // why it is missing, when a forwarder was followed
};

struct LoadResult {
  std::string host;
  bool loads = false;
  std::string error;  // set when the image itself can't be checked
  std::vector<ModuleResult> modules;      // by upper-cased name
  std::vector<FunctionResult> functions;  // by module, needer, function
};

// Checks the image at `path` under `host`, searching `folders` after the
// image's own folder.
LoadResult checkLoad(Files& files, const std::string& path, const std::vector<std::string>& folders,
                     const Host& host);

// Helpers shared with the reports and the hosts.
std::string upperCase(const std::string& text);
std::string fileName(const std::string& path);

}  // namespace check

#endif
