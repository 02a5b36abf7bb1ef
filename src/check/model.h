// zymran-check's model of a load: an image and the modules it needs, each
// checked under one host version, as the host's loader would load them.
//
// A name equal (ASCII case ignored) to an emulated module is emulated;
// GDI32.dll is not implemented by the host; every other name is a file,
// searched by its exact name in any case in the folder of the image named on
// the command line, then in each search folder; where a folder holds several
// files of that name in different case, the one spelled as imported is
// taken. The load-time closure is the image and every module reached through
// ordinary imports and forwarders; modules reached only through a delay-load
// import somewhere on the way are delayed. An image loads when nothing in its
// load-time closure is not implemented, not found, unreadable, damaged or
// 64-bit and no function imported there is missing; delayed problems are
// reported and never decide.
//
// Within one image's closure a module is one module however it is spelled:
// the spelling met first, walking the closure in import order, picks its
// file. What a module needs, and where each of its imports ends, depends on
// the host, the search folders and that choice, not on the image being
// checked: it is worked out once per host and folder and shared by every
// image whose closure makes the same choices, so that an image's report is
// the same whatever other images are checked in the same run.
#ifndef ZYMRAN_CHECK_MODEL_H
#define ZYMRAN_CHECK_MODEL_H

#include <stdint.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "check/image_info.h"

namespace check {

// Where images come from.
class Files {
 public:
  virtual ~Files() = default;
  // The path of the regular file named `name`, in any case, in `folder` (the
  // current folder when empty, and then the path is the file's name): the
  // one of exactly that name when there is one, else the first in byte
  // order. Empty when there is none.
  virtual std::string find(const std::string& folder, const std::string& name) = 0;
  // The image held by the file at `path`, read once however often it is
  // asked for; null, with the system's reason in `*reason`, when the file
  // can't be opened or read.
  virtual const ImageInfo* read(const std::string& path, std::string* reason) = 0;

  Names names;  // of every image read
};

// A host version: what each emulated module exports.
struct Host {
  struct Module {
    std::set<std::string> names;
    std::set<uint32_t> ordinals;
  };
  std::string name;
  std::map<std::string, Module> modules;  // by moduleKey()
};

// A module name as hosts are keyed: upper-cased, ".DLL" added when it has no
// extension.
std::string moduleKey(const std::string& name);
std::string upperCase(const std::string& text);

enum class Kind { Emulated, NotImplemented, File, NotFound, Unreadable, Damaged, Wide };
const char* kindText(Kind kind);
// Whether a module of this kind loads: emulated, or a file that was read.
inline bool present(Kind kind) { return kind == Kind::Emulated || kind == Kind::File; }

// A function as reported: by name or by ordinal.
struct FunctionRef {
  const std::string* name = nullptr;  // null for an import by ordinal
  uint32_t ordinal = 0;
  bool byOrdinal() const { return name == nullptr; }
  bool operator<(const FunctionRef& o) const;
  bool operator==(const FunctionRef& o) const;
};

// The images from the image named on the command line to the one that
// needs a module or function, by file name, and the path of that last one
// (the image as named, or the file as read).
struct Chain {
  std::vector<const std::string*> images;
  const std::string* path = nullptr;
};

// The chains of one result, kept as a tree: each link an image and the link
// of the image that needs it, so that a closure of any depth costs one link
// an image.
struct ChainLink {
  const std::string* image;  // its file name
  const std::string* path;   // as named, or as read
  uint32_t up;               // the link of its needer; kNoLink for the image named
};
const uint32_t kNoLink = UINT32_MAX;

struct FunctionResult {
  const std::string* module = nullptr;  // as this image's closure first spells it
  Kind moduleKind = Kind::File;
  FunctionRef function;
  const std::string* neededBy = nullptr;  // the importing image's file name
  bool delayed = false;
  bool found = false;
  const std::string* note = nullptr;  // why it is missing, when a forwarder was followed
  uint32_t chain = 0;  // in LoadResult::links: to its needer
  bool known = false;  // a problem that the baseline holds
};

struct ModuleResult {
  const std::string* name = nullptr;  // as this image's closure first spells it
  Kind kind = Kind::NotFound;
  const std::string* file = nullptr;  // the file read, for File, Unreadable, Damaged and Wide
  bool delayed = false;
  std::vector<const std::string*> neededBy;  // file names, sorted, each once
  const std::string* error = nullptr;  // the damage line, or why the file can't be read
  uint32_t chain = 0;  // in LoadResult::links: to its first needer
  // For a module that fails whole: every function the closure imports from
  // it, by needer, then function.
  std::vector<FunctionResult> functions;
  bool known = false;  // a problem that the baseline holds
};


// An image of the closure whose delay-load import data is damaged: a
// delayed problem, since the loader reads that data only when that code
// runs.
struct DelayDamage {
  const std::string* image = nullptr;  // its file name
  const std::string* file = nullptr;   // the path read
  const std::string* error = nullptr;  // the damage line
  uint32_t chain = 0;                  // in LoadResult::links: to the image itself
  bool known = false;
};

// How far the image itself could be read.
enum class ImageState { Checked, Unopened, Damaged, Wide };

struct LoadResult {
  std::string host;
  ImageState state = ImageState::Checked;
  std::string error;  // what is wrong with the image itself, when not Checked
  bool known = false;  // that problem of the image itself is in the baseline
  bool loads = false;
  bool passes = false;  // it loads, or all that fails is known
  std::vector<ModuleResult> modules;  // by upper-cased name
  // By module, needer, function: the missing ones; with `all`, every one
  // checked; with several hosts, also those found here that are missing
  // under another host.
  std::vector<FunctionResult> functions;
  std::vector<DelayDamage> delayDamage;  // by file name
  std::vector<ChainLink> links;  // the first is the image's own

  // The chain that ends at link `index`.
  Chain chain(uint32_t index) const;
};

class Checker {
 public:
  // `folders` are searched after each image's own folder.
  Checker(Files& files, std::vector<std::string> folders, std::vector<Host> hosts, bool all);
  ~Checker();

  // The image at `path` under each host, in the hosts' order. The results
  // refer to names the checker keeps: they are valid while it lives.
  std::vector<LoadResult> check(const std::string& path);

  struct World;  // what one host and one list of folders give every image

 private:
  World& world(size_t host, const std::string& folder);

  Files& files_;
  std::vector<std::string> folders_;
  std::vector<Host> hosts_;
  bool all_;
  std::map<std::pair<size_t, std::string>, std::unique_ptr<World>> worlds_;
  std::vector<std::unique_ptr<World>> private_;  // worlds of one image each
};

// The parts of a forwarder, "MODULE.Function" or "MODULE.#7": the module
// (with ".dll" added, as the loader adds it) and the function after the
// last full stop, a number after '#' being an ordinal. False when it names
// no module.
struct Forwarder {
  std::string module;
  bool byOrdinal = false;
  std::string name;
  uint32_t ordinal = 0;
};
bool parseForwarder(const std::string& text, Forwarder* forwarder);

}  // namespace check

#endif
