#include "check/model.h"

#include <string.h>

#include <algorithm>
#include <deque>
#include <tuple>
#include <unordered_set>

#include "image/modules.h"

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

// ---- Where a module's imports end ------------------------------------------

// Following one function of one module: to its end, or to the next module of
// a forwarder chain.
struct Resolution {
  enum Outcome : uint8_t { Found, Missing, ModuleFailed } outcome = Missing;
  std::string note;   // why it is missing
  int64_t from = -1;  // the forwarder's module and its target, when it forwards
  int64_t to = -1;
  int64_t next = -1;  // the resolution of the target
};

// One function that a module imports, and where it ends.
struct Entry {
  uint32_t target;
  FunctionKey function;
  bool delayed;
  uint32_t resolution;
};

// What a module needs, worked out once: the modules it leads to (through its
// imports and the forwarders they meet) and the functions it imports.
struct Summary {
  bool done = false;
  std::vector<std::pair<uint32_t, uint32_t>> loadEdges;   // needer, needed
  std::vector<std::pair<uint32_t, uint32_t>> delayEdges;
  std::vector<Entry> entries;  // the missing ones; with `all`, every one
};

struct Node {
  std::string name;  // as first met
  Kind kind = Kind::NotFound;
  std::string file;
  const ImageInfo* info = nullptr;
  Summary summary;
};

uint64_t pairKey(uint32_t node, FunctionKey function) { return (uint64_t(node) << 33) | function; }

}  // namespace

struct Checker::World {
  const Host* host = nullptr;
  std::vector<std::string> folders;
  std::deque<Node> nodes;
  std::unordered_map<std::string, uint32_t> byKey;  // by upper-cased name
  std::vector<Resolution> resolutions;
  std::unordered_map<uint64_t, uint32_t> resolved;  // by pairKey
};

namespace {

struct Walker {
  Files& files;
  Checker::World& w;
  bool all;

  uint32_t meet(const std::string& name) {
    const std::string key = upperCase(name);
    const auto found = w.byKey.find(key);
    if (found != w.byKey.end()) return found->second;
    const uint32_t id = static_cast<uint32_t>(w.nodes.size());
    w.nodes.emplace_back();
    Node& node = w.nodes.back();
    node.name = name;
    if (isImplementedModule(name.c_str())) {
      node.kind = Kind::Emulated;
    } else if (isSystemModule(name.c_str())) {
      node.kind = Kind::NotImplemented;
    } else {
      for (const std::string& folder : w.folders) {
        const std::string file = files.find(folder, name);
        if (file.empty()) continue;
        const ImageInfo* info = files.read(file);
        if (info == nullptr) continue;
        node.file = file;
        node.info = info;
        node.kind = info->state == ImageInfo::State::Read      ? Kind::File
                    : info->state == ImageInfo::State::Damaged ? Kind::Damaged
                                                               : Kind::Wide;
        break;
      }
    }
    w.byKey.emplace(key, id);
    return id;
  }

  // The forwarder or plain export of `function` in a file module; false when
  // it exports none.
  bool exported(const ImageInfo& info, FunctionKey function, int32_t* forwarder) const {
    if ((function & kByOrdinal) != 0) {
      const uint32_t ordinal = static_cast<uint32_t>(function);
      const auto it = std::lower_bound(info.byOrdinal.begin(), info.byOrdinal.end(),
                                       std::make_pair(ordinal, INT32_MIN));
      if (it == info.byOrdinal.end() || it->first != ordinal) return false;
      *forwarder = it->second;
      return true;
    }
    const char* name = files.names.text(static_cast<uint32_t>(function)).c_str();
    const char* base = info.exportNames.data();
    const auto it = std::lower_bound(info.byName.begin(), info.byName.end(), name,
                                     [base](const std::pair<uint32_t, int32_t>& e, const char* n) {
                                       return strcmp(base + e.first, n) < 0;
                                     });
    if (it == info.byName.end() || strcmp(base + it->first, name) != 0) return false;
    *forwarder = it->second;
    return true;
  }

  bool hostExports(uint32_t node, FunctionKey function) const {
    const auto module = w.host->modules.find(upperCase(w.nodes[node].name));
    if (module == w.host->modules.end()) return false;
    if ((function & kByOrdinal) != 0) return module->second.ordinals.count(static_cast<uint32_t>(function)) > 0;
    return module->second.names.count(files.names.text(static_cast<uint32_t>(function))) > 0;
  }

  // Where `function` of `node` ends, following forwarders; every pair on the
  // way keeps its own answer, and a chain that comes back to a pair already
  // on it is a loop.
  uint32_t resolve(uint32_t node, FunctionKey function) {
    std::vector<uint32_t> chain;  // resolutions made here, in order
    std::unordered_set<uint64_t> onChain;
    Resolution end;
    int64_t endIndex = -1;
    bool loop = false;
    for (;;) {
      const uint64_t key = pairKey(node, function);
      if (!onChain.insert(key).second) {
        loop = true;
        break;
      }
      const auto known = w.resolved.find(key);
      if (known != w.resolved.end()) {
        endIndex = known->second;
        end = w.resolutions[known->second];
        break;
      }
      const uint32_t index = static_cast<uint32_t>(w.resolutions.size());
      w.resolutions.emplace_back();
      w.resolved.emplace(key, index);
      if (!chain.empty()) w.resolutions[chain.back()].next = index;
      chain.push_back(index);
      const Node& n = w.nodes[node];
      if (n.kind == Kind::Emulated) {
        end.outcome = hostExports(node, function) ? Resolution::Found : Resolution::Missing;
        break;
      }
      if (n.kind != Kind::File) {
        end.outcome = Resolution::ModuleFailed;
        end.note = n.name + " is " + kindText(n.kind);
        break;
      }
      int32_t forwarder = -1;
      if (!exported(*n.info, function, &forwarder)) {
        end.outcome = Resolution::Missing;
        break;
      }
      if (forwarder < 0) {
        end.outcome = Resolution::Found;
        break;
      }
      // "MODULE.Function" or "MODULE.#7": the module without its extension,
      // to which the loader adds ".dll", and the function after the last
      // full stop.
      const std::string& text = n.info->forwarders[static_cast<size_t>(forwarder)];
      const size_t dot = text.rfind('.');
      if (dot == std::string::npos) {
        end.outcome = Resolution::Missing;
        end.note = "its forwarder names no module";
        break;
      }
      const std::string tail = text.substr(dot + 1);
      FunctionKey next;
      if (tail.size() > 1 && tail.size() <= 6 && tail[0] == '#' &&
          tail.find_first_not_of("0123456789", 1) == std::string::npos) {
        next = kByOrdinal | static_cast<uint32_t>(std::stoul(tail.substr(1)));
      } else {
        next = files.names.id(tail);
      }
      const uint32_t target = meet(text.substr(0, dot) + ".dll");
      Resolution& step = w.resolutions[index];
      step.from = node;
      step.to = target;
      step.note = "forwarded to " + w.nodes[target].name + " " +
                  ((next & kByOrdinal) != 0 ? "#" + std::to_string(static_cast<uint32_t>(next))
                                            : files.names.text(static_cast<uint32_t>(next)));
      node = target;
      function = next;
    }
    for (size_t i = 0; i < chain.size(); ++i) {
      Resolution& r = w.resolutions[chain[i]];
      r.outcome = loop ? Resolution::Missing : end.outcome;
      if (loop) r.note = "forwarder loop";
      else if (r.note.empty()) r.note = end.note;
    }
    if (!chain.empty() && endIndex >= 0) w.resolutions[chain.back()].next = endIndex;
    return chain.empty() ? static_cast<uint32_t>(endIndex) : chain.front();
  }

  // What `id` needs, worked out the first time it is asked for.
  const Summary& summary(uint32_t id) {
    if (w.nodes[id].summary.done) return w.nodes[id].summary;
    Summary s;
    s.done = true;
    std::map<std::pair<uint32_t, FunctionKey>, size_t> entryOf;
    std::unordered_set<uint32_t> walked;  // resolutions whose edges are in
    const ImageInfo* info = w.nodes[id].info;
    for (const ImportedModule& module : info->imports) {
      auto& edges = module.delayed ? s.delayEdges : s.loadEdges;
      const uint32_t target = meet(module.name);
      edges.emplace_back(id, target);
      const Kind kind = w.nodes[target].kind;
      if (kind != Kind::Emulated && kind != Kind::File) continue;
      for (const FunctionKey function : module.functions) {
        const uint32_t r = resolve(target, function);
        for (int64_t at = r; at >= 0 && walked.insert(static_cast<uint32_t>(at)).second;
             at = w.resolutions[static_cast<size_t>(at)].next) {
          const Resolution& step = w.resolutions[static_cast<size_t>(at)];
          if (step.to >= 0) edges.emplace_back(static_cast<uint32_t>(step.from), static_cast<uint32_t>(step.to));
        }
        if (!all && w.resolutions[r].outcome == Resolution::Found) continue;
        const auto key = std::make_pair(target, function);
        const auto seen = entryOf.find(key);
        if (seen == entryOf.end()) {
          entryOf.emplace(key, s.entries.size());
          s.entries.push_back({target, function, module.delayed, r});
        } else if (!module.delayed) {
          s.entries[seen->second].delayed = false;
        }
      }
    }
    w.nodes[id].summary = std::move(s);
    return w.nodes[id].summary;
  }
};

}  // namespace

Checker::Checker(Files& files, std::vector<std::string> folders, std::vector<Host> hosts, bool all)
    : files_(files), folders_(std::move(folders)), hosts_(std::move(hosts)), all_(all) {}

Checker::~Checker() = default;

Checker::World& Checker::world(size_t host, const std::string& folder) {
  auto& slot = worlds_[std::make_pair(host, folder)];
  if (!slot) {
    slot = std::make_unique<World>();
    slot->host = &hosts_[host];
    slot->folders.push_back(folder);
    slot->folders.insert(slot->folders.end(), folders_.begin(), folders_.end());
  }
  return *slot;
}

LoadResult Checker::checkUnder(World& w, const std::string& path) {
  LoadResult out;
  out.host = w.host->name;
  const ImageInfo* rootInfo = files_.read(path);
  if (rootInfo == nullptr) {
    out.error = "can't be opened";
    return out;
  }
  if (rootInfo->state != ImageInfo::State::Read) {
    out.error = rootInfo->state == ImageInfo::State::Wide ? "64-bit image" : "damaged: " + rootInfo->error;
    return out;
  }
  Walker walker{files_, w, all_};
  // The image is the module of its name when that is the same file; else it
  // stands apart, met by no import.
  uint32_t root = walker.meet(fileName(path));
  if (w.nodes[root].info != rootInfo) {
    root = static_cast<uint32_t>(w.nodes.size());
    w.nodes.emplace_back();
    w.nodes.back().name = fileName(path);
    w.nodes.back().kind = Kind::File;
    w.nodes.back().file = path;
    w.nodes.back().info = rootInfo;
  }
  const std::string rootFile = fileName(path);

  // The closure: first what ordinary imports and forwarders reach, then what
  // delay-load imports reach from it, and all that reaches.
  struct Member {
    bool delayed;
    std::set<uint32_t> neededBy;
  };
  std::unordered_map<uint32_t, Member> closure;
  std::vector<uint32_t> order{root};
  closure[root] = {false, {}};
  auto follow = [&](const std::vector<std::pair<uint32_t, uint32_t>>& edges, bool delayed) {
    for (const auto& edge : edges) {
      const auto added = closure.emplace(edge.second, Member{delayed, {}});
      if (added.second) order.push_back(edge.second);
      added.first->second.neededBy.insert(edge.first);
    }
  };
  for (size_t i = 0; i < order.size(); ++i)
    if (w.nodes[order[i]].kind == Kind::File) follow(walker.summary(order[i]).loadEdges, false);
  const size_t loadTime = order.size();
  for (size_t i = 0; i < order.size(); ++i) {
    if (w.nodes[order[i]].kind != Kind::File) continue;
    const Summary& s = walker.summary(order[i]);
    follow(s.delayEdges, true);
    if (i >= loadTime) follow(s.loadEdges, true);
  }

  auto fileOf = [&](uint32_t id) { return id == root ? rootFile : fileName(w.nodes[id].file); };
  out.loads = true;
  std::map<std::string, ModuleResult> modules;
  for (const uint32_t id : order) {
    if (id == root) continue;
    const Node& n = w.nodes[id];
    const Member& m = closure[id];
    ModuleResult result;
    result.name = n.name;
    result.kind = n.kind;
    result.file = n.file;
    result.delayed = m.delayed;
    if (n.kind == Kind::Damaged) result.error = n.info->error;
    for (const uint32_t needer : m.neededBy) result.neededBy.insert(fileOf(needer));
    if (!m.delayed && n.kind != Kind::Emulated && n.kind != Kind::File) out.loads = false;
    modules.emplace(upperCase(n.name), result);
  }
  for (auto& entry : modules) out.modules.push_back(std::move(entry.second));

  std::map<std::tuple<std::string, std::string, FunctionRef>, FunctionResult> functions;
  for (const uint32_t id : order) {
    if (w.nodes[id].kind != Kind::File) continue;
    const bool neederDelayed = closure[id].delayed;
    for (const Entry& e : walker.summary(id).entries) {
      const Resolution& r = w.resolutions[e.resolution];
      FunctionResult result;
      result.module = w.nodes[e.target].name;
      result.function.byOrdinal = (e.function & kByOrdinal) != 0;
      if (result.function.byOrdinal) result.function.ordinal = static_cast<uint32_t>(e.function);
      else result.function.name = files_.names.text(static_cast<uint32_t>(e.function));
      result.neededBy = fileOf(id);
      result.delayed = neederDelayed || e.delayed;
      result.found = r.outcome == Resolution::Found;
      if (!result.found) result.note = r.note;
      if (!result.found && !result.delayed) out.loads = false;
      const auto key = std::make_tuple(upperCase(result.module), result.neededBy, result.function);
      const auto seen = functions.find(key);
      if (seen == functions.end()) functions.emplace(key, std::move(result));
      else if (!result.delayed) seen->second.delayed = false;
    }
  }
  for (auto& entry : functions) out.functions.push_back(std::move(entry.second));
  return out;
}

std::vector<LoadResult> Checker::check(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash == 0 ? 1 : slash);
  std::vector<LoadResult> results;
  for (size_t h = 0; h < hosts_.size(); ++h) results.push_back(checkUnder(world(h, folder), path));
  if (hosts_.size() < 2 || all_) return results;

  // A function missing under one host is shown under every host where it was
  // checked: found there too.
  typedef std::tuple<std::string, std::string, FunctionRef> Key;
  std::map<Key, const FunctionResult*> missing;
  for (const LoadResult& r : results)
    for (const FunctionResult& f : r.functions)
      missing.emplace(std::make_tuple(upperCase(f.module), f.neededBy, f.function), &f);
  std::vector<std::vector<FunctionResult>> extra(results.size());
  for (size_t h = 0; h < results.size(); ++h) {
    std::set<std::string> present{fileName(path)};
    for (const ModuleResult& m : results[h].modules)
      if (m.kind == Kind::File) present.insert(fileName(m.file));
    std::set<Key> own;
    for (const FunctionResult& f : results[h].functions)
      own.insert(std::make_tuple(upperCase(f.module), f.neededBy, f.function));
    for (const auto& entry : missing) {
      if (own.count(entry.first) > 0 || present.count(entry.second->neededBy) == 0 || !results[h].error.empty())
        continue;
      FunctionResult found = *entry.second;
      found.found = true;
      found.delayed = false;
      found.note.clear();
      extra[h].push_back(found);
    }
  }
  for (size_t h = 0; h < results.size(); ++h) {
    std::vector<FunctionResult>& functions = results[h].functions;
    functions.insert(functions.end(), extra[h].begin(), extra[h].end());
    std::sort(functions.begin(), functions.end(), [](const FunctionResult& a, const FunctionResult& b) {
      return std::make_tuple(upperCase(a.module), a.neededBy, a.function) <
             std::make_tuple(upperCase(b.module), b.neededBy, b.function);
    });
  }
  return results;
}

}  // namespace check
