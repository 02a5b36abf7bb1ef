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
//
// What a module needs, and where each of its imports ends, depends on the
// host and the search folders but not on the image being checked: it is
// worked out once per host and folder and shared by every image.
#ifndef ZYMRAN_CHECK_MODEL_H
#define ZYMRAN_CHECK_MODEL_H

#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "check/image_info.h"

namespace check {

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

  Names names;  // of every image read
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

// A function as reported: by name or by ordinal.
struct FunctionRef {
  bool byOrdinal = false;
  std::string name;  // when by name
  uint32_t ordinal = 0;
  bool operator<(const FunctionRef& o) const;
  bool operator==(const FunctionRef& o) const;
};

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
  std::vector<ModuleResult> modules;  // by upper-cased name
  // By module, needer, function: the missing ones; with `all`, every one
  // checked; with several hosts, also those found here that are missing under
  // another host.
  std::vector<FunctionResult> functions;
};

class Checker {
 public:
  // `folders` are searched after each image's own folder.
  Checker(Files& files, std::vector<std::string> folders, std::vector<Host> hosts, bool all);
  ~Checker();

  // The image at `path` under each host, in the hosts' order.
  std::vector<LoadResult> check(const std::string& path);

  struct World;  // what one host and one list of folders give every image

 private:
  World& world(size_t host, const std::string& folder);
  LoadResult checkUnder(World& world, const std::string& path);

  Files& files_;
  std::vector<std::string> folders_;
  std::vector<Host> hosts_;
  bool all_;
  std::map<std::pair<size_t, std::string>, std::unique_ptr<World>> worlds_;
};

// Helpers shared with the reports and the hosts.
std::string upperCase(const std::string& text);
std::string fileName(const std::string& path);

}  // namespace check

#endif
