#include "check/model.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "image/exports.h"
#include "image/image.h"
#include "image/imports.h"

namespace check {

bool FunctionRef::operator<(const FunctionRef& o) const {
  return std::tie(byOrdinal, name, ordinal) < std::tie(o.byOrdinal, o.name, o.ordinal);
}

bool FunctionRef::operator==(const FunctionRef& o) const {
  return byOrdinal == o.byOrdinal && name == o.name && ordinal == o.ordinal;
}

const char* kindText(Kind kind) {
  switch (kind) {
    case Kind::Emulated: return "emulated";
    case Kind::NotImplemented: return "not implemented";
    case Kind::File: return "file";
    case Kind::NotFound: return "not found";
    case Kind::Damaged: return "damaged";
    case Kind::Wide: return "64-bit";
  }
  return "";
}

std::string upperCase(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) c = upperAscii(c);
  return upper;
}

std::string fileName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// ---- Reading an image ------------------------------------------------------

// Imports grouped by module name and kind, functions each once: the reader
// gives every distinct name an id, so that repeats cost nothing.
struct ImportCollector {
  ImageInfo* info;
  std::map<std::pair<uint32_t, bool>, size_t> groupOf;         // (module id, delayed)
  std::set<std::tuple<size_t, bool, uint32_t>> seen;           // (group, by ordinal, id or ordinal)
};

bool collectImport(void* context, const Import& entry, Note*) {
  ImportCollector& c = *static_cast<ImportCollector*>(context);
  const auto key = std::make_pair(entry.moduleId, entry.delayed);
  auto group = c.groupOf.find(key);
  if (group == c.groupOf.end()) {
    group = c.groupOf.emplace(key, c.info->imports.size()).first;
    ImportedModule module;
    module.name = entry.module;
    module.delayed = entry.delayed;
    c.info->imports.push_back(module);
  }
  if (!entry.isFunction) return true;
  const bool byOrdinal = entry.function == nullptr;
  if (!c.seen.insert({group->second, byOrdinal, byOrdinal ? entry.ordinal : entry.functionId}).second)
    return true;
  FunctionRef function;
  function.byOrdinal = byOrdinal;
  if (byOrdinal) function.ordinal = entry.ordinal;
  else function.name = entry.function;
  c.info->imports[group->second].functions.push_back(function);
  return true;
}

bool collectExport(void* context, const Export& entry, Note*) {
  ImageInfo& info = *static_cast<ImageInfo*>(context);
  if (!entry.hasOrdinal || entry.address == 0) return true;  // nothing the loader could find
  ExportEntry target;
  target.forwarded = entry.forwarder != nullptr;
  if (target.forwarded) target.forwarder = entry.forwarder;
  if (entry.name != nullptr) info.byName.emplace(entry.name, target);
  if (entry.ordinal <= UINT32_MAX) info.byOrdinal.emplace(static_cast<uint32_t>(entry.ordinal), target);
  return true;
}

// ---- The closure -----------------------------------------------------------

// What following a function to its end gave.
struct Resolution {
  enum Outcome { Found, Missing, ModuleFailed } outcome = Missing;
  std::string note;
};

struct Node {
  ModuleResult result;
  const ImageInfo* info = nullptr;
};

class Walk {
 public:
  Walk(Files& files, std::vector<std::string> folders, const Host& host)
      : files_(files), folders_(std::move(folders)), host_(host) {}

  LoadResult run(const std::string& path);

 private:
  Node& meet(const std::string& name, const std::string& neededBy, bool delayed);
  void follow(const std::string& importerKey, const ImportedModule& module, bool delayed);
  Resolution resolve(const std::string& moduleKey, const FunctionRef& function, bool delayed);
  bool exports(const Node& node, const FunctionRef& function, const ExportEntry** entry) const;

  Files& files_;
  std::vector<std::string> folders_;
  const Host& host_;
  std::string rootKey_;
  std::map<std::string, Node> nodes_;  // by upper-cased module name
  std::vector<std::string> order_;     // keys in the order met
  std::map<std::pair<std::string, FunctionRef>, Resolution> resolved_;
  std::map<std::tuple<std::string, std::string, FunctionRef>, FunctionResult> functions_;
};

// The module `name`, classified and read the first time it is met.
Node& Walk::meet(const std::string& name, const std::string& neededBy, bool delayed) {
  const std::string key = upperCase(name);
  auto found = nodes_.find(key);
  if (found == nodes_.end()) {
    Node node;
    node.result.name = name;
    node.result.delayed = delayed;
    if (isImplementedModule(name.c_str())) {
      node.result.kind = Kind::Emulated;
    } else if (isSystemModule(name.c_str())) {
      node.result.kind = Kind::NotImplemented;
    } else {
      node.result.kind = Kind::NotFound;
      for (const std::string& folder : folders_) {
        const std::string file = files_.find(folder, name);
        if (file.empty()) continue;
        node.info = files_.read(file);
        if (node.info == nullptr) continue;
        node.result.file = file;
        node.result.kind = node.info->state == ImageInfo::State::Read      ? Kind::File
                           : node.info->state == ImageInfo::State::Damaged ? Kind::Damaged
                                                                           : Kind::Wide;
        node.result.error = node.info->error;
        break;
      }
    }
    found = nodes_.emplace(key, node).first;
    order_.push_back(key);
  }
  if (!neededBy.empty()) found->second.result.neededBy.insert(neededBy);
  return found->second;
}

bool Walk::exports(const Node& node, const FunctionRef& function, const ExportEntry** entry) const {
  if (function.byOrdinal) {
    const auto it = node.info->byOrdinal.find(function.ordinal);
    if (it == node.info->byOrdinal.end()) return false;
    *entry = &it->second;
  } else {
    const auto it = node.info->byName.find(function.name);
    if (it == node.info->byName.end()) return false;
    *entry = &it->second;
  }
  return true;
}

// Follows `function` of module `moduleKey` through its forwarders to its end.
// Every pair on the way gets the same outcome, each with where it forwards
// to; a chain that comes back to a pair already on it is a loop.
Resolution Walk::resolve(const std::string& moduleKey, const FunctionRef& function, bool delayed) {
  std::vector<std::pair<std::string, FunctionRef>> chain;
  std::vector<std::string> forwards;  // where each pair on the chain forwards to
  std::set<std::pair<std::string, FunctionRef>> onChain;
  std::pair<std::string, FunctionRef> at(moduleKey, function);
  Resolution end;
  bool loop = false;
  for (;;) {
    const auto known = resolved_.find(at);
    if (known != resolved_.end()) {
      end = known->second;
      break;
    }
    if (!onChain.insert(at).second) {
      loop = true;
      break;
    }
    chain.push_back(at);
    forwards.emplace_back();
    const Node& node = nodes_.at(at.first);
    if (node.result.kind == Kind::Emulated) {
      const auto module = host_.modules.find(at.first);
      const bool has = module != host_.modules.end() &&
                       (at.second.byOrdinal ? module->second.ordinals.count(at.second.ordinal) > 0
                                            : module->second.names.count(at.second.name) > 0);
      end.outcome = has ? Resolution::Found : Resolution::Missing;
      break;
    }
    if (node.result.kind != Kind::File) {
      end = {Resolution::ModuleFailed, node.result.name + " is " + kindText(node.result.kind)};
      break;
    }
    const ExportEntry* entry = nullptr;
    if (!exports(node, at.second, &entry) || !entry->forwarded) {
      end.outcome = entry != nullptr ? Resolution::Found : Resolution::Missing;
      break;
    }
    // "MODULE.Function" or "MODULE.#7": the module without its extension,
    // to which the loader adds ".dll", and the function after the last full
    // stop.
    const size_t dot = entry->forwarder.rfind('.');
    if (dot == std::string::npos) {
      end = {Resolution::Missing, "its forwarder names no module"};
      break;
    }
    const std::string target = entry->forwarder.substr(0, dot) + ".dll";
    const std::string tail = entry->forwarder.substr(dot + 1);
    FunctionRef next;
    if (tail.size() > 1 && tail.size() <= 6 && tail[0] == '#' &&
        tail.find_first_not_of("0123456789", 1) == std::string::npos) {
      next.byOrdinal = true;
      next.ordinal = static_cast<uint32_t>(std::stoul(tail.substr(1)));
    } else {
      next.name = tail;
    }
    const Node& targetNode = meet(target, fileName(node.result.file), delayed);
    forwards.back() = "forwarded to " + targetNode.result.name + " " +
                      (next.byOrdinal ? "#" + std::to_string(next.ordinal) : next.name);
    at = std::make_pair(upperCase(target), next);
  }
  for (size_t i = 0; i < chain.size(); ++i) {
    Resolution own = loop ? Resolution{Resolution::Missing, "forwarder loop"} : end;
    if (!loop && !forwards[i].empty()) own.note = forwards[i];
    resolved_[chain[i]] = own;
  }
  return chain.empty() ? end : resolved_[chain.front()];
}

// Follows one module that `importerKey` imports, and each of its functions.
void Walk::follow(const std::string& importerKey, const ImportedModule& module, bool delayed) {
  const std::string neededBy = fileName(nodes_.at(importerKey).result.file);
  Node& target = meet(module.name, neededBy, delayed);
  if (target.result.kind != Kind::Emulated && target.result.kind != Kind::File) return;
  const std::string targetKey = upperCase(module.name);
  for (const FunctionRef& function : module.functions) {
    const Resolution r = resolve(targetKey, function, delayed);
    FunctionResult result;
    result.module = target.result.name;
    result.function = function;
    result.neededBy = neededBy;
    result.delayed = delayed;
    result.found = r.outcome == Resolution::Found;
    if (!result.found) result.note = r.note;
    const auto key = std::make_tuple(targetKey, neededBy, function);
    const auto existing = functions_.find(key);
    // Needed at load time counts over needed when delayed.
    if (existing == functions_.end() || (existing->second.delayed && !delayed)) functions_[key] = result;
  }
}

LoadResult Walk::run(const std::string& path) {
  LoadResult out;
  out.host = host_.name;
  const ImageInfo* root = files_.read(path);
  if (root == nullptr) {
    out.error = "can't be opened";
    return out;
  }
  if (root->state != ImageInfo::State::Read) {
    out.error = root->state == ImageInfo::State::Wide ? "64-bit image" : "damaged: " + root->error;
    return out;
  }
  rootKey_ = upperCase(fileName(path));
  Node node;
  node.result.name = fileName(path);
  node.result.kind = Kind::File;
  node.result.file = path;
  node.info = root;
  nodes_.emplace(rootKey_, node);
  order_.push_back(rootKey_);

  // The load-time closure: ordinary imports and forwarders.
  for (size_t i = 0; i < order_.size(); ++i) {
    const Node& n = nodes_.at(order_[i]);
    if (n.result.kind != Kind::File) continue;
    for (const ImportedModule& module : n.info->imports)
      if (!module.delayed) follow(order_[i], module, false);
  }
  // Then what delay-load imports reach from it, and all that reaches.
  const size_t loadTime = order_.size();
  for (size_t i = 0; i < order_.size(); ++i) {
    const Node& n = nodes_.at(order_[i]);
    if (n.result.kind != Kind::File) continue;
    for (const ImportedModule& module : n.info->imports)
      if (i >= loadTime || module.delayed) follow(order_[i], module, true);
  }

  out.loads = true;
  for (const auto& entry : nodes_) {
    if (entry.first == rootKey_) continue;
    const ModuleResult& m = entry.second.result;
    if (!m.delayed && m.kind != Kind::Emulated && m.kind != Kind::File) out.loads = false;
    out.modules.push_back(m);
  }
  for (const auto& entry : functions_) {
    if (!entry.second.found && !entry.second.delayed) out.loads = false;
    out.functions.push_back(entry.second);
  }
  return out;
}

}  // namespace

ImageInfo readImage(ImageSource source) {
  ImageInfo info;
  MappedImage image;
  Note fault;
  if (!mapImage(source, &image, &fault)) {
    info.state = ImageInfo::State::Damaged;
    info.error = fault.text;
    return info;
  }
  if (image.hdr.Magic == kPe32PlusMagic) {
    info.state = ImageInfo::State::Wide;
  } else {
    ImportCollector collector{&info, {}, {}};
    if (!readImports(&image, collectImport, &collector, &fault) ||
        !readExports(&image, collectExport, &info, &fault)) {
      info = ImageInfo();
      info.state = ImageInfo::State::Damaged;
      info.error = fault.text;
    }
  }
  unmapImage(&image);
  return info;
}

LoadResult checkLoad(Files& files, const std::string& path, const std::vector<std::string>& folders,
                     const Host& host) {
  std::vector<std::string> all;
  const size_t slash = path.find_last_of('/');
  all.push_back(slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash));
  all.insert(all.end(), folders.begin(), folders.end());
  return Walk(files, all, host).run(path);
}

}  // namespace check
