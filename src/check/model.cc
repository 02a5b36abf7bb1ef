#include "check/model.h"

#include <string.h>

#include <algorithm>
#include <deque>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "check/files.h"
#include "image/modules.h"

namespace check {

std::string upperCase(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) c = upperAscii(c);
  return upper;
}

std::string moduleKey(const std::string& name) {
  return upperCase(hasExtension(name.c_str()) ? name : name + kDefaultExtension);
}

const char* kindText(Kind kind) {
  switch (kind) {
    case Kind::Emulated: return "emulated";
    case Kind::NotImplemented: return "not implemented";
    case Kind::File: return "file";
    case Kind::NotFound: return "not found";
    case Kind::Unreadable: return "unreadable";
    case Kind::Damaged: return "damaged";
    case Kind::Wide: return "64-bit";
  }
  return "";
}

bool FunctionRef::operator<(const FunctionRef& o) const {
  if (byOrdinal() != o.byOrdinal()) return !byOrdinal();
  return byOrdinal() ? ordinal < o.ordinal : *name < *o.name;
}

bool FunctionRef::operator==(const FunctionRef& o) const {
  return byOrdinal() == o.byOrdinal() && (byOrdinal() ? ordinal == o.ordinal : *name == *o.name);
}

bool parseForwarder(const std::string& text, Forwarder* forwarder) {
  const size_t dot = text.rfind('.');
  if (dot == std::string::npos) return false;
  forwarder->module = text.substr(0, dot) + kDefaultExtension;
  const std::string tail = text.substr(dot + 1);
  // "#" and one to five digits: an ordinal; anything else is a name.
  forwarder->byOrdinal = tail.size() > 1 && tail.size() <= 6 && tail[0] == '#' &&
                         tail.find_first_not_of("0123456789", 1) == std::string::npos;
  forwarder->name = forwarder->byOrdinal ? "" : tail;
  forwarder->ordinal = forwarder->byOrdinal ? static_cast<uint32_t>(std::stoul(tail.substr(1))) : 0;
  return true;
}

namespace {

const uint32_t kNone = UINT32_MAX;

// A module name as some image spells it.
struct Spelling {
  std::string text;
  std::string upper;
  uint32_t name;  // the same for every spelling of one name in any case
};

// Following one function of one module: to its end, or to the next module
// of a forwarder chain.
struct Resolution {
  bool found = false;
  const std::string* note = nullptr;  // why it is missing
  uint32_t from = kNone;              // the forwarding module, when it forwards
  uint32_t to = kNone;                // and the module it forwards to
  uint32_t toSpelling = kNone;
  uint32_t forwarder = 0;             // the forwarder's index in `from`
  uint32_t next = kNone;              // the resolution of the target
};

// One module that a module leads to: through an import (`order` is the
// import's place among the needer's imports), or through a forwarder of
// `from` (`order` counts on past its imports).
struct Edge {
  uint32_t from;
  uint32_t to;
  uint32_t spelling;
  uint32_t order;
  bool delayed;
};

// One function that a module imports, and where it ends; kNone when the
// module it comes from fails whole.
struct Entry {
  uint32_t target;
  uint32_t spelling;
  FunctionKey function;
  bool delayed;
  uint32_t resolution;
};

// What a module needs, worked out once.
struct Summary {
  bool done = false;
  std::vector<Edge> edges;
  // The missing ones, and those of modules that fail; with `all`, every one;
  // by function: names by their text, then ordinals.
  std::vector<Entry> entries;
};

struct Node {
  Kind kind = Kind::NotFound;
  std::string key;       // moduleKey() of the name, for emulated modules
  std::string file;      // the path read
  std::string fileName;  // its last component
  const ImageInfo* info = nullptr;
  std::string error;
  Summary summary;
};

uint64_t pairKey(uint32_t node, FunctionKey function) { return (uint64_t(node) << 33) | function; }

}  // namespace

struct Checker::World {
  const Host* host = nullptr;
  std::vector<std::string> folders;
  // A world of one image: each name, in any case, is the module that its
  // first spelling found.
  bool bindByName = false;
  std::deque<Node> nodes;
  std::deque<Spelling> spellings;
  std::unordered_map<std::string, uint32_t> spellingIds;
  std::unordered_map<std::string, uint32_t> nameIds;  // by upper-cased name
  std::unordered_map<uint32_t, uint32_t> nodeOfSpelling;
  std::unordered_map<std::string, uint32_t> nodeOfName;  // by upper-cased name, for what is no file
  std::unordered_map<const ImageInfo*, uint32_t> nodeOfImage;
  std::unordered_map<std::string, uint32_t> nodeOfPath;  // files that can't be read
  std::deque<std::string> notes;
  std::vector<Resolution> resolutions;
  std::unordered_map<uint64_t, uint32_t> resolved;  // by pairKey
  // Scratch of the closure being walked, kNone between walks: each node's
  // place among its members, and the module each name is bound to.
  std::vector<uint32_t> memberOf;
  std::vector<uint32_t> boundOf;
};

namespace {

// The world's answers, worked out as they are first asked for.
struct Walker {
  Files& files;
  Checker::World& w;
  bool all;

  uint32_t spelling(const std::string& text) {
    const auto found = w.spellingIds.find(text);
    if (found != w.spellingIds.end()) return found->second;
    const uint32_t id = static_cast<uint32_t>(w.spellings.size());
    const std::string upper = upperCase(text);
    const uint32_t name = w.nameIds.emplace(upper, static_cast<uint32_t>(w.nameIds.size())).first->second;
    w.spellings.push_back({text, upper, name});
    w.spellingIds.emplace(text, id);
    return id;
  }

  uint32_t addNode(Kind kind) {
    w.nodes.emplace_back();
    w.nodes.back().kind = kind;
    return static_cast<uint32_t>(w.nodes.size() - 1);
  }

  // The node of a name that is no file, one for every spelling.
  uint32_t namedNode(const Spelling& s, Kind kind) {
    const auto found = w.nodeOfName.find(s.upper);
    if (found != w.nodeOfName.end()) return found->second;
    const uint32_t id = addNode(kind);
    w.nodes[id].key = moduleKey(s.text);
    w.nodeOfName.emplace(s.upper, id);
    return id;
  }

  // The node of an image read from `path`.
  uint32_t imageNode(const std::string& path, const ImageInfo* info) {
    const auto found = w.nodeOfImage.find(info);
    if (found != w.nodeOfImage.end()) return found->second;
    const uint32_t id = addNode(info->state == ImageInfo::State::Read      ? Kind::File
                                : info->state == ImageInfo::State::Damaged ? Kind::Damaged
                                                                           : Kind::Wide);
    Node& node = w.nodes[id];
    node.file = path;
    node.fileName = fileName(path);
    node.info = info;
    if (node.kind == Kind::Damaged) node.error = info->error;
    w.nodeOfImage.emplace(info, id);
    return id;
  }

  // The first file of the name in the search folders.
  uint32_t search(const Spelling& s) {
    for (const std::string& folder : w.folders) {
      const std::string path = files.find(folder, s.text);
      if (path.empty()) continue;
      std::string reason;
      const ImageInfo* info = files.read(path, &reason);
      if (info != nullptr) return imageNode(path, info);
      auto found = w.nodeOfPath.find(path);
      if (found == w.nodeOfPath.end()) {
        found = w.nodeOfPath.emplace(path, addNode(Kind::Unreadable)).first;
        Node& node = w.nodes[found->second];
        node.file = path;
        node.fileName = fileName(path);
        node.error = reason;
      }
      return found->second;
    }
    return namedNode(s, Kind::NotFound);
  }

  uint32_t meet(uint32_t id) {
    const auto known = w.nodeOfSpelling.find(id);
    if (known != w.nodeOfSpelling.end()) return known->second;
    const Spelling& s = w.spellings[id];
    uint32_t node;
    const auto bound = w.bindByName ? w.nodeOfName.find(s.upper) : w.nodeOfName.end();
    if (bound != w.nodeOfName.end()) node = bound->second;
    else if (isImplementedModule(s.text.c_str())) node = namedNode(s, Kind::Emulated);
    else if (isSystemModule(s.text.c_str())) node = namedNode(s, Kind::NotImplemented);
    else node = search(s);
    if (w.bindByName) w.nodeOfName.emplace(s.upper, node);
    w.nodeOfSpelling.emplace(id, node);
    return node;
  }

  // The forwarder or plain export of `function` in a file module; false when
  // it exports none.
  bool exported(const ImageInfo& info, FunctionKey function, int32_t* forwarder) const {
    if ((function & kByOrdinal) != 0) {
      const uint64_t index = static_cast<uint32_t>(function) - uint64_t(info.ordinalBase);
      if (static_cast<uint32_t>(function) < info.ordinalBase || index >= info.byOrdinal.size() ||
          info.byOrdinal[index] == kNoExport)
        return false;
      *forwarder = info.byOrdinal[index];
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

  bool hostExports(const Node& node, FunctionKey function) const {
    const auto module = w.host->modules.find(node.key);
    if (module == w.host->modules.end()) return false;
    if ((function & kByOrdinal) != 0) return module->second.ordinals.count(static_cast<uint32_t>(function)) > 0;
    return module->second.names.count(files.names.text(static_cast<uint32_t>(function))) > 0;
  }

  const std::string* note(const std::string& text) {
    w.notes.push_back(text);
    return &w.notes.back();
  }

  // One step from `node`: false with the end in `*end`, or true with the
  // forwarder's target in `*node` and `*function`, recorded in `step`.
  bool advance(uint32_t* node, FunctionKey* function, Resolution* step, Resolution* end) {
    const Node& n = w.nodes[*node];
    if (n.kind == Kind::Emulated) {
      end->found = hostExports(n, *function);
      return false;
    }
    int32_t index = -1;
    if (n.kind != Kind::File || !exported(*n.info, *function, &index)) return false;  // missing
    if (index < 0) {
      end->found = true;
      return false;
    }
    Forwarder f;
    if (!parseForwarder(n.info->forwarders[static_cast<size_t>(index)], &f)) {
      end->note = note("its forwarder names no module");
      return false;
    }
    step->from = *node;
    step->toSpelling = spelling(f.module);
    step->forwarder = static_cast<uint32_t>(index);
    *function = f.byOrdinal ? kByOrdinal | f.ordinal : files.names.id(f.name);
    step->note = note("forwarded to " + f.module + " " +
                      (f.byOrdinal ? "#" + std::to_string(f.ordinal) : f.name));
    *node = step->to = meet(step->toSpelling);
    return true;
  }

  // Where `function` of `node` ends, following forwarders; every pair on the
  // way keeps its own answer, and a chain that comes back to a pair already
  // on it is a loop.
  uint32_t resolve(uint32_t node, FunctionKey function) {
    std::vector<uint32_t> chain;  // resolutions made here, in order
    // Every resolution made here comes after these: meeting one of them
    // again is a loop.
    const size_t first = w.resolutions.size();
    Resolution end;
    uint32_t known = kNone;
    bool loop = false;
    for (;;) {
      const uint64_t key = pairKey(node, function);
      const auto done = w.resolved.find(key);
      if (done != w.resolved.end() && done->second >= first) {
        loop = true;
        break;
      }
      if (done != w.resolved.end()) {
        known = done->second;
        end = w.resolutions[known];
        break;
      }
      const uint32_t index = static_cast<uint32_t>(w.resolutions.size());
      w.resolutions.emplace_back();
      w.resolved.emplace(key, index);
      if (!chain.empty()) w.resolutions[chain.back()].next = index;
      chain.push_back(index);
      Resolution step;
      if (!advance(&node, &function, &step, &end)) break;
      w.resolutions[index] = step;
    }
    static const std::string kLoop = "forwarder loop";
    for (const uint32_t index : chain) {
      Resolution& r = w.resolutions[index];
      r.found = !loop && end.found;
      if (loop) r.note = &kLoop;
      else if (r.note == nullptr) r.note = end.note;
    }
    if (!chain.empty() && known != kNone) w.resolutions[chain.back()].next = known;
    return chain.empty() ? known : chain.front();
  }

  // The functions `id` imports from `target`, and the modules their
  // forwarders lead to.
  void addFunctions(uint32_t id, const ImportedModule& module, uint32_t target, uint32_t spellingId,
                    Summary& s, std::unordered_map<uint64_t, size_t>& entryOf,
                    std::unordered_set<uint64_t>& walked) {
    const bool loads = present(w.nodes[target].kind);
    const uint32_t imports = static_cast<uint32_t>(w.nodes[id].info->imports.size());
    for (const FunctionKey function : module.functions) {
      const uint32_t r = loads ? resolve(target, function) : kNone;
      for (uint32_t at = r; at != kNone && walked.insert(uint64_t(at) << 1 | module.delayed).second;
           at = w.resolutions[at].next) {
        const Resolution& step = w.resolutions[at];
        if (step.to != kNone)
          s.edges.push_back({step.from, step.to, step.toSpelling, imports + step.forwarder, module.delayed});
      }
      if (loads && !all && w.resolutions[r].found) continue;
      const auto seen = entryOf.emplace(pairKey(target, function), s.entries.size());
      if (seen.second) s.entries.push_back({target, spellingId, function, module.delayed, r});
      else if (!module.delayed) s.entries[seen.first->second].delayed = false;
    }
  }

  // What `id` needs, worked out the first time it is asked for.
  const Summary& summary(uint32_t id) {
    if (w.nodes[id].summary.done) return w.nodes[id].summary;
    Summary s;
    s.done = true;
    std::unordered_map<uint64_t, size_t> entryOf;
    std::unordered_set<uint64_t> walked;  // resolutions whose edges are in
    const std::vector<ImportedModule>& imports = w.nodes[id].info->imports;
    for (uint32_t i = 0; i < imports.size(); ++i) {
      const uint32_t spellingId = spelling(imports[i].name);
      const uint32_t target = meet(spellingId);
      s.edges.push_back({id, target, spellingId, i, imports[i].delayed});
      addFunctions(id, imports[i], target, spellingId, s, entryOf, walked);
    }
    const Names& names = files.names;
    std::stable_sort(s.entries.begin(), s.entries.end(), [&names](const Entry& a, const Entry& b) {
      const bool aByOrdinal = (a.function & kByOrdinal) != 0;
      if (aByOrdinal != ((b.function & kByOrdinal) != 0)) return !aByOrdinal;
      if (aByOrdinal) return a.function < b.function;
      return names.text(static_cast<uint32_t>(a.function)) < names.text(static_cast<uint32_t>(b.function));
    });
    w.nodes[id].summary = std::move(s);
    return w.nodes[id].summary;
  }
};

// One image's closure in a world: its members, how each is first reached,
// and the results made from them.
class Closure {
 public:
  Closure(Walker& walker, uint32_t root, const std::string* rootFile, const std::string* rootPath)
      : walker_(walker), w_(walker.w), root_(root), rootFile_(rootFile), rootPath_(rootPath) {}
  ~Closure() {
    for (const uint32_t id : order_) w_.memberOf[id] = kNone;
    for (const uint32_t name : names_) w_.boundOf[name] = kNone;
  }

  // Finds the members; false when two spellings of one name lead to two
  // modules, so that the image needs a world of its own.
  bool discover();
  void fill(LoadResult* out);

 private:
  struct Member {
    bool delayed = false;
    uint32_t loadParent = kNone;  // the needer on its shortest chain
    uint32_t parent = kNone;
    uint32_t spelling = kNone;    // as the edge that first reached it spells it
    std::vector<uint32_t> neededBy;
    uint32_t chain = kNone;       // its own chain in the result
    uint32_t module = kNone;      // its place among the result's modules
    uint32_t rank = kNone;        // its place by name, the image named among them when imported
  };

  void add(const Edge& edge, bool delayed);
  // Makes `node` a member; false when it is one already.
  bool join(uint32_t node, bool delayed);
  Member& member(uint32_t node) { return members_[w_.memberOf[node]]; }
  void chains(bool delayed);
  uint32_t chainOf(uint32_t node, LoadResult* out);
  const std::string& fileOf(uint32_t node) const { return node == root_ ? *rootFile_ : w_.nodes[node].fileName; }
  void fillModules(LoadResult* out);
  void fillFunctions(LoadResult* out);
  void fillDelayDamage(LoadResult* out);
  FunctionResult functionResult(uint32_t needer, const Entry& e, LoadResult* out);

  Walker& walker_;
  Checker::World& w_;
  uint32_t root_;
  const std::string* rootFile_;
  const std::string* rootPath_;  // as named on the command line
  std::vector<Member> members_;       // in the order met, as order_
  std::vector<uint32_t> order_;      // members in the order met
  std::vector<Edge> edges_;          // every edge met, load-time ones first
  size_t loadEdges_ = 0;
  std::vector<uint32_t> names_;      // the names bound
  bool conflict_ = false;
};

bool Closure::join(uint32_t node, bool delayed) {
  if (w_.memberOf.size() <= node) w_.memberOf.resize(w_.nodes.size(), kNone);
  if (w_.memberOf[node] != kNone) return false;
  w_.memberOf[node] = static_cast<uint32_t>(members_.size());
  members_.emplace_back();
  members_.back().delayed = delayed;
  order_.push_back(node);
  return true;
}

void Closure::add(const Edge& edge, bool delayed) {
  edges_.push_back(edge);
  const uint32_t name = w_.spellings[edge.spelling].name;
  if (w_.boundOf.size() <= name) w_.boundOf.resize(w_.nameIds.size(), kNone);
  if (w_.boundOf[name] == kNone) {
    w_.boundOf[name] = edge.to;
    names_.push_back(name);
  } else if (w_.boundOf[name] != edge.to) {
    conflict_ = true;
  }
  join(edge.to, delayed);
}

bool Closure::discover() {
  join(root_, false);
  // First what ordinary imports and forwarders reach, then what delay-load
  // imports reach from it, and all that reaches.
  for (size_t i = 0; i < order_.size(); ++i) {
    if (w_.nodes[order_[i]].kind != Kind::File) continue;
    for (const Edge& edge : walker_.summary(order_[i]).edges)
      if (!edge.delayed) add(edge, false);
  }
  loadEdges_ = edges_.size();
  const size_t loadTime = order_.size();
  for (size_t i = 0; i < order_.size(); ++i) {
    if (w_.nodes[order_[i]].kind != Kind::File) continue;
    for (const Edge& edge : walker_.summary(order_[i]).edges)
      if (edge.delayed || i >= loadTime) add(edge, true);
  }
  return !conflict_;
}

// The shortest chains, the first in import order among equally short ones:
// over load-time edges for the load-time members, over all edges for the
// delayed ones.
void Closure::chains(bool delayed) {
  // Each member's edges, in one array: counted, placed, then put in import
  // order.
  const size_t count = delayed ? edges_.size() : loadEdges_;
  std::vector<size_t> start(members_.size() + 1, 0);
  for (size_t e = 0; e < count; ++e) ++start[w_.memberOf[edges_[e].from] + 1];
  for (size_t m = 0; m < members_.size(); ++m) start[m + 1] += start[m];
  std::vector<const Edge*> out(count);
  std::vector<size_t> next(start.begin(), start.end() - 1);
  for (size_t e = 0; e < count; ++e) out[next[w_.memberOf[edges_[e].from]]++] = &edges_[e];
  for (size_t m = 0; m < members_.size(); ++m)
    std::stable_sort(out.begin() + static_cast<long>(start[m]), out.begin() + static_cast<long>(start[m + 1]),
                     [](const Edge* a, const Edge* b) { return a->order < b->order; });
  std::vector<bool> reached(members_.size(), false);
  reached[w_.memberOf[root_]] = true;
  std::vector<uint32_t> queue{root_};
  for (size_t at = 0; at < queue.size(); ++at) {
    const uint32_t from = w_.memberOf[queue[at]];
    for (size_t e = start[from]; e < start[from + 1]; ++e) {
      const Edge* edge = out[e];
      const uint32_t local = w_.memberOf[edge->to];
      // The image named is reached from the start; it is spelled as the
      // first import of it that the walk meets.
      if (edge->to == root_ && members_[local].spelling == kNone) members_[local].spelling = edge->spelling;
      if (reached[local]) continue;
      reached[local] = true;
      queue.push_back(edge->to);
      Member& m = members_[local];
      if (m.delayed != delayed) continue;
      (delayed ? m.parent : m.loadParent) = edge->from;
      m.spelling = edge->spelling;
    }
  }
}

// The link of `node`, made with those of its needers up to the image named
// the first time it is asked for; walked up iteratively, however deep.
uint32_t Closure::chainOf(uint32_t node, LoadResult* out) {
  std::vector<uint32_t> unlinked;
  for (uint32_t at = node; member(at).chain == kNone;) {
    unlinked.push_back(at);
    if (at == root_) break;
    const Member& m = member(at);
    at = m.delayed ? m.parent : m.loadParent;
  }
  for (size_t i = unlinked.size(); i > 0; --i) {
    const uint32_t at = unlinked[i - 1];
    Member& m = member(at);
    const uint32_t up = at == root_ ? kNoLink : member(m.delayed ? m.parent : m.loadParent).chain;
    m.chain = static_cast<uint32_t>(out->links.size());
    out->links.push_back({&fileOf(at), at == root_ ? rootPath_ : &w_.nodes[at].file, up});
  }
  return member(node).chain;
}

void Closure::fillModules(LoadResult* out) {
  for (const Edge& edge : edges_) member(edge.to).neededBy.push_back(edge.from);
  // By upper-cased name; the image named is among them when some image of
  // its closure imports from it, for the order of its functions, though it
  // is no module of its own.
  std::vector<std::pair<const std::string*, uint32_t>> byName;
  for (const uint32_t id : order_)
    if (member(id).spelling != kNone) byName.emplace_back(&w_.spellings[member(id).spelling].upper, id);
  std::sort(byName.begin(), byName.end(), [](const std::pair<const std::string*, uint32_t>& a,
                                             const std::pair<const std::string*, uint32_t>& b) {
    return *a.first != *b.first ? *a.first < *b.first : a.second < b.second;
  });
  for (size_t i = 0; i < byName.size(); ++i) {
    const uint32_t id = byName[i].second;
    Member& m = member(id);
    m.rank = static_cast<uint32_t>(i);
    if (id == root_) continue;
    const Node& n = w_.nodes[id];
    m.module = static_cast<uint32_t>(out->modules.size());
    ModuleResult result;
    result.name = &w_.spellings[m.spelling].text;
    result.kind = n.kind;
    if (!n.file.empty()) result.file = &n.file;
    if (!n.error.empty()) result.error = &n.error;
    result.delayed = m.delayed;
    for (const uint32_t needer : m.neededBy) result.neededBy.push_back(&fileOf(needer));
    std::sort(result.neededBy.begin(), result.neededBy.end(),
              [](const std::string* a, const std::string* b) { return *a < *b; });
    result.neededBy.erase(std::unique(result.neededBy.begin(), result.neededBy.end(),
                                      [](const std::string* a, const std::string* b) { return *a == *b; }),
                          result.neededBy.end());
    result.chain = chainOf(m.delayed ? m.parent : m.loadParent, out);
    if (!m.delayed && !present(n.kind)) out->loads = false;
    out->modules.push_back(result);
  }
}

FunctionResult Closure::functionResult(uint32_t needer, const Entry& e, LoadResult* out) {
  FunctionResult result;
  result.module = &w_.spellings[member(e.target).spelling].text;
  result.moduleKind = w_.nodes[e.target].kind;
  if ((e.function & kByOrdinal) != 0) result.function.ordinal = static_cast<uint32_t>(e.function);
  else result.function.name = &walker_.files.names.text(static_cast<uint32_t>(e.function));
  result.neededBy = &fileOf(needer);
  result.delayed = member(needer).delayed || e.delayed;
  result.chain = chainOf(needer, out);
  return result;
}

void Closure::fillFunctions(LoadResult* out) {
  // Needers ranked by file name, so that entries sort on numbers: by whether
  // their module fails whole, module (the modules are in order), needer;
  // each needer's entries come in function order already.
  std::vector<uint32_t> needers;
  for (const uint32_t id : order_)
    if (w_.nodes[id].kind == Kind::File) needers.push_back(id);
  std::sort(needers.begin(), needers.end(), [this](uint32_t a, uint32_t b) { return fileOf(a) < fileOf(b); });
  std::unordered_map<uint32_t, uint32_t> rank;
  bool sharedNames = false;  // two needers of one file name, whose entries interleave
  for (size_t i = 0; i < needers.size(); ++i) {
    const bool same = i > 0 && fileOf(needers[i]) == fileOf(needers[i - 1]);
    sharedNames = sharedNames || same;
    rank[needers[i]] = same ? rank[needers[i - 1]] : static_cast<uint32_t>(i);
  }
  std::vector<FunctionResult> results;
  std::vector<uint32_t> targets;  // the module of each result
  std::vector<std::pair<uint64_t, size_t>> places;  // (module and needer, result)
  for (const uint32_t id : needers) {
    for (const Entry& e : walker_.summary(id).entries) {
      FunctionResult result = functionResult(id, e, out);
      const bool failed = e.resolution == kNone;
      if (!failed) {
        const Resolution& r = w_.resolutions[e.resolution];
        result.found = r.found;
        if (!r.found) result.note = r.note;
        if (!r.found && !result.delayed) out->loads = false;
      }
      places.emplace_back((uint64_t(failed) << 63) | (uint64_t(member(e.target).rank) << 32) | rank[id],
                          results.size());
      results.push_back(result);
      targets.push_back(e.target);
    }
  }
  typedef std::pair<uint64_t, size_t> Place;
  if (sharedNames) {
    std::sort(places.begin(), places.end(), [&results](const Place& a, const Place& b) {
      return a.first != b.first ? a.first < b.first : results[a.second].function < results[b.second].function;
    });
  } else {
    std::stable_sort(places.begin(), places.end(), [](const Place& a, const Place& b) { return a.first < b.first; });
  }
  for (size_t i = 0; i < places.size(); ++i) {
    const FunctionResult& result = results[places[i].second];
    const bool failed = (places[i].first >> 63) != 0;
    std::vector<FunctionResult>& to =
        failed ? out->modules[member(targets[places[i].second]).module].functions : out->functions;
    const bool same = i > 0 && places[i - 1].first == places[i].first &&
                      results[places[i - 1].second].function == result.function;
    if (!same) to.push_back(result);
    else if (!result.delayed) to.back().delayed = false;
  }
}

void Closure::fillDelayDamage(LoadResult* out) {
  for (const uint32_t id : order_) {
    const Node& n = w_.nodes[id];
    if (n.kind != Kind::File || n.info->delayError.empty()) continue;
    DelayDamage damage;
    damage.image = &fileOf(id);
    damage.file = id == root_ ? rootPath_ : &n.file;
    damage.error = &n.info->delayError;
    damage.chain = chainOf(id, out);
    out->delayDamage.push_back(damage);
  }
  std::sort(out->delayDamage.begin(), out->delayDamage.end(),
            [](const DelayDamage& a, const DelayDamage& b) { return *a.image < *b.image; });
}

void Closure::fill(LoadResult* out) {
  chains(false);
  chains(true);
  out->loads = true;
  chainOf(root_, out);
  fillModules(out);
  fillFunctions(out);
  fillDelayDamage(out);
}

}  // namespace

Chain LoadResult::chain(uint32_t index) const {
  Chain chain;
  chain.path = links[index].path;
  for (uint32_t at = index; at != kNoLink; at = links[at].up) chain.images.push_back(links[at].image);
  std::reverse(chain.images.begin(), chain.images.end());
  return chain;
}

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

namespace {

// The image at `path` under one world; false when its closure spells one
// name two ways that lead to two modules.
bool checkUnder(Walker& walker, const std::string& path, const ImageInfo* info, LoadResult* out) {
  Checker::World& w = walker.w;
  // The image is the module of its name when that is the same file; else it
  // stands apart, met by no import.
  w.notes.push_back(fileName(path));
  const std::string* rootFile = &w.notes.back();
  w.notes.push_back(path);
  const std::string* rootPath = &w.notes.back();
  uint32_t root = walker.meet(walker.spelling(*rootFile));
  if (w.nodes[root].info != info) {
    root = walker.addNode(Kind::File);
    w.nodes[root].file = path;
    w.nodes[root].fileName = *rootFile;
    w.nodes[root].info = info;
  }
  Closure closure(walker, root, rootFile, rootPath);
  if (!closure.discover()) return false;
  closure.fill(out);
  return true;
}

// A function missing under one host is shown under every host where it was
// checked: found there too.
void showFoundElsewhere(const std::string& rootFile, std::vector<LoadResult>& results) {
  typedef std::tuple<std::string, std::string, FunctionRef> Key;
  auto keyOf = [](const FunctionResult& f) { return std::make_tuple(upperCase(*f.module), *f.neededBy, f.function); };
  std::map<Key, const FunctionResult*> missing;
  for (const LoadResult& r : results)
    for (const FunctionResult& f : r.functions) missing.emplace(keyOf(f), &f);
  std::vector<std::vector<FunctionResult>> extra(results.size());
  for (size_t h = 0; h < results.size(); ++h) {
    if (results[h].state != ImageState::Checked) continue;
    std::set<std::string> present{rootFile};
    for (const ModuleResult& m : results[h].modules)
      if (m.kind == Kind::File) present.insert(fileName(*m.file));
    std::set<Key> own;
    for (const FunctionResult& f : results[h].functions) own.insert(keyOf(f));
    for (const auto& entry : missing) {
      if (own.count(entry.first) > 0 || present.count(*entry.second->neededBy) == 0) continue;
      FunctionResult found = *entry.second;
      found.found = true;
      found.delayed = false;
      found.note = nullptr;
      found.chain = 0;
      extra[h].push_back(found);
    }
  }
  for (size_t h = 0; h < results.size(); ++h) {
    std::vector<FunctionResult>& functions = results[h].functions;
    functions.insert(functions.end(), extra[h].begin(), extra[h].end());
    std::sort(functions.begin(), functions.end(), [&](const FunctionResult& a, const FunctionResult& b) {
      return keyOf(a) < keyOf(b);
    });
  }
}

}  // namespace

std::vector<LoadResult> Checker::check(const std::string& path) {
  const std::string folder = folderOf(path);
  std::string reason;
  const ImageInfo* info = files_.read(path, &reason);
  std::vector<LoadResult> results(hosts_.size());
  for (size_t h = 0; h < hosts_.size(); ++h) {
    LoadResult& out = results[h];
    out.host = hosts_[h].name;
    if (info == nullptr || info->state != ImageInfo::State::Read) {
      out.state = info == nullptr ? ImageState::Unopened
                  : info->state == ImageInfo::State::Wide ? ImageState::Wide
                                                          : ImageState::Damaged;
      out.error = info == nullptr ? "can't be opened"
                  : out.state == ImageState::Wide ? "64-bit image"
                                                  : "damaged: " + info->error;
      continue;
    }
    Walker shared{files_, world(h, folder), all_};
    if (checkUnder(shared, path, info, &out)) continue;
    out = LoadResult();
    out.host = hosts_[h].name;
    private_.push_back(std::make_unique<World>());
    World& own = *private_.back();
    own.host = &hosts_[h];
    own.folders = world(h, folder).folders;
    own.bindByName = true;
    Walker walker{files_, own, all_};
    checkUnder(walker, path, info, &out);
  }
  if (hosts_.size() >= 2 && !all_) showFoundElsewhere(fileName(path), results);
  return results;
}

}  // namespace check
