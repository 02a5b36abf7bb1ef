// Writes images made by the test image builder:
//   zymran_mkimage sample <file>   the README's sample
//   zymran_mkimage seeds <folder>  a seed corpus for the image fuzzer
//   zymran_mkimage corpus <folder> <count>  varied images for the benchmark
//   zymran_mkimage profile-bench <folder>   the two DLLs that the benchmark
//                                           gives zymran-profile
//   zymran_mkimage tree <folder>   a program tree in <folder>/bin and the
//                                  host's three DLLs in <folder>/host
//   zymran_mkimage names <file> <count>  a DLL of <count> export names, for
//                                  zymran-profile's memory
//   zymran_mkimage lookups <folder>  the folders of zymran-check's lookup
//                                  benchmark: <folder>/wide, <folder>/narrow,
//                                  <folder>/chain and <folder>/forward
#include <ctype.h>
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "image_builder.h"

namespace {

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || fclose(f) != 0) {
    perror(path.c_str());
    return false;
  }
  return true;
}

// Images that reach every kind of line of the report, and each internal check.
std::vector<std::vector<uint8_t>> seeds() {
  std::vector<ImagePlan> plans;
  plans.push_back(sampleImagePlan());
  plans.push_back(ImagePlan{});
  {
    ImagePlan s = sampleImagePlan();
    for (ImportedModule& m : s.modules) m.lookupThroughFirstThunk = true;
    s.importSectionName = ".IDATA";
    s.sectionsBefore = {".text", ".rdata"};
    plans.push_back(s);
  }
  {
    ImagePlan s;
    s.modules = {{"ntdll.dll", {{"NtClose"}, {std::string(60, 'L')}}},
                 {"user32", {{"MessageBoxA"}}},
                 {"KERNEL32.dll", {{"GetVersion"}, byOrdinal(4)}}};
    plans.push_back(s);
  }
  {
    ImagePlan s = sampleImagePlan();
    s.importSectionName = ".idata$2";
    plans.push_back(s);
  }
  {
    // A DLL with exports by name, by ordinal alone and forwarded, its
    // descriptors behind the address lists, and the same as PE32+ with a
    // short optional header.
    ImagePlan s = exportingImagePlan();
    s.addressListsFirst = true;
    plans.push_back(s);
    s.pe32plus = true;
    s.dataDirectories = 2;
    plans.push_back(s);
  }
  std::vector<std::vector<uint8_t>> images;
  for (const ImagePlan& s : plans) images.push_back(buildImage(s).bytes);
  // Export data that only a reader mapping sections as the loader does reads
  // right, or refuses.
  for (ExportCraft craft : {ExportCraft::RawPastVirtualSize, ExportCraft::UnalignedRawData, ExportCraft::NameInTail,
                            ExportCraft::OneNameThreeTimes, ExportCraft::NamesShareBytes,
                            ExportCraft::OverlappingSections})
    images.push_back(craftExports(craft));
  return images;
}

// A reproducible pseudo-random sequence.
struct Random {
  uint64_t state;
  uint32_t next(uint32_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % bound);
  }
};

// Images from a few kilobytes to several megabytes, with import tables from a
// handful of functions to tens of thousands.
ImagePlan corpusPlan(uint32_t index) {
  static const char* const kModules[] = {"KERNEL32.dll", "USER32.dll", "NTDLL.dll",
                                         "GDI32.dll",    "MSVCRT.dll", "COMCTL32.dll"};
  static const char* const kKnown[] = {"GetVersion", "ExitProcess", "GetStartupInfoA",
                                       "MessageBoxA", "NtClose", "HeapAlloc", "WriteFile"};
  Random random{index * 2654435761u + 1};
  ImagePlan plan;
  plan.dll = index % 2 == 1;
  // Every tenth image is large in code; the import tables grow by powers.
  if (index % 10 == 0) plan.sectionBeforeSize = 0x200 * (1 + random.next(12000));
  else plan.sectionBeforeSize = 0x200 * (1 + random.next(16));
  const uint32_t tier = index % 5;
  const uint32_t total = tier == 0 ? 3 + random.next(10)
                         : tier == 1 ? 20 + random.next(80)
                         : tier == 2 ? 100 + random.next(900)
                         : tier == 3 ? 1000 + random.next(4000)
                                     : 5000 + random.next(35000);
  const uint32_t nModules = 1 + random.next(total < 6 ? total : 6);
  for (uint32_t m = 0; m < nModules; ++m) {
    ImportedModule module;
    module.name = kModules[(m + index) % 6];
    module.lookupThroughFirstThunk = random.next(4) == 0;
    const bool emulated = (m + index) % 6 < 3;
    const uint32_t count = total / nModules;
    for (uint32_t f = 0; f < count; ++f) {
      if (!emulated && random.next(3) == 0) {
        module.functions.push_back(byOrdinal(1 + f));
      } else if (random.next(4) == 0) {
        module.functions.push_back({kKnown[random.next(7)]});
      } else {
        module.functions.push_back({"Function" + std::to_string(f) + "Of" + module.name});
      }
    }
    plan.modules.push_back(module);
  }
  return plan;
}

// A DLL of 1,500 forwarded exports.
std::vector<uint8_t> manyExportsImage() {
  ImagePlan plan;
  plan.dll = true;
  plan.exportModuleName = "exports1500.dll";
  for (uint32_t i = 0; i < 1500; ++i) {
    char name[16];
    snprintf(name, sizeof name, "Function%04u", i);
    plan.exports.push_back({name, "KERNEL32.ExitProcess"});
  }
  return buildImage(plan).bytes;
}

// A DLL with as many sections as a PE header can count, 65,535, and 20,000
// export names (about 3 MB). The 65,533 sections in front of the import and
// export sections each claim the same 512 bytes of the file at an address of
// their own beyond the export section: to map a name's address, a reader that
// walks the table walks all of it.
std::vector<uint8_t> manySectionsImage() {
  const uint32_t before = 65533;
  ImagePlan plan;
  plan.dll = true;
  plan.exportModuleName = "sections65535.dll";
  plan.sectionsBefore.assign(before, ".text");
  plan.sectionBeforeSize = 0;
  for (uint32_t i = 0; i < 20000; ++i) {
    char name[16];
    snprintf(name, sizeof name, "F%05u", i);
    plan.exports.push_back({name, ""});
  }
  BuiltImage image = buildImage(plan);
  const uint32_t table = image.importEntryOffset - kSectionEntrySize * before;
  for (uint32_t i = 0; i < before; ++i) {
    const uint32_t entry = table + kSectionEntrySize * i;
    put32(image.bytes, entry + kSectionVirtualAddress, image.imageSize + 0x1000 * i);
    put32(image.bytes, entry + kSectionSizeOfRawData, 0x200);
    put32(image.bytes, entry + kSectionPointerToRawData, image.importRawOffset);
  }
  return image.bytes;
}

// A DLL of `count` export names of 37 bytes each, as C++ members are named.
std::vector<uint8_t> manyNamesImage(uint32_t count) {
  ImagePlan plan;
  plan.dll = true;
  plan.exportModuleName = "names.dll";
  for (uint32_t i = 0; i < count; ++i) {
    char name[48];
    snprintf(name, sizeof name, "?Function%07u@Module@@QAEXPAVItem@@Z", i);
    plan.exports.push_back({name, ""});
  }
  return buildImage(plan).bytes;
}

// ---- A program tree -----------------------------------------------------------
//
// 620 DLLs in 31 components of 20, and 8 programs, all in one folder. Every
// component but the first uses the first and one or two other lower ones. A
// DLL imports from a few DLLs below it in its own component and from the
// first six DLLs (the interface) of the components its component uses, some
// functions by ordinal, and from the system; a few delay-load a module; a
// few of their exports forward to a DLL they import from or to the system.
// The host folder holds the tree's own KERNEL32.DLL, NTDLL.DLL and USER32.DLL,
// which export what the tree imports from them but for a few rare functions.

const uint32_t kComponents = 31;
const uint32_t kPerComponent = 20;
const uint32_t kInterface = 6;

const char* const kVerbs[] = {"Get",  "Set",  "Create", "Open",     "Close", "Query", "Enum",  "Load",
                              "Free", "Read", "Write",  "Find",     "Is",    "Map",   "Lock",  "Post",
                              "Send", "Init", "Delete", "Register", "Copy",  "Wait",  "Flush", "Update"};
const char* const kSuffixes[] = {"", "A", "W", "Ex"};

struct NameWords {
  const char* prefix;
  std::vector<const char*> nouns;
};

const NameWords kKernelWords = {"", {"File", "Handle", "Heap", "Thread", "Process", "Module", "Console",
                                     "Event", "Mutex", "Semaphore", "Environment", "Directory", "Volume",
                                     "Locale", "Time", "Timer", "Pipe", "Fiber", "Memory", "Path", "Drive",
                                     "CodePage", "Profile", "Atom"}};
const NameWords kNtWords = {"Rtl", {"Object", "Key", "Section", "Token", "Port", "Heap", "String", "Bitmap",
                                    "Acl", "Sid", "UnicodeString", "Atom", "Thread", "Job", "Event", "Timer"}};
const NameWords kUserWords = {"", {"Window", "Menu", "Dialog", "Cursor", "Icon", "Clipboard", "Caret",
                                   "Message", "Rect", "Accelerator", "Hook", "Class", "Prop", "ScrollInfo",
                                   "Focus", "Capture", "Desktop", "WindowText", "Keyboard", "MenuItem"}};
const NameWords kGdiWords = {"", {"Brush", "Pen", "Font", "Bitmap", "Region", "Palette", "Path", "MetaFile",
                                  "DC", "Object", "TextMetrics", "Pixel"}};
const NameWords kTreeWords = {"", {"Buffer", "Stream", "Node", "Item", "Table", "Record", "Value", "Key",
                                   "Index", "Page", "Frame", "Layer", "Shape", "Style", "Token", "Channel",
                                   "Event", "Queue", "Cache", "Entry", "Field", "Query", "Result",
                                   "Session", "Context", "Settings"}};

// Function `k` of a word list: distinct for every k.
std::string wordName(const NameWords& words, uint32_t k) {
  const uint32_t nouns = static_cast<uint32_t>(words.nouns.size());
  const uint32_t round = k / (24 * nouns);
  return std::string(words.prefix) + kVerbs[k % 24] + words.nouns[(k / 24) % nouns] +
         (round > 0 ? std::to_string(round) : "") + kSuffixes[(k / 7) % 4];
}

// A system module as the tree imports from it: the functions of `pool`
// first, most used first, then `rare` functions that only a few DLLs import
// and of which the host lacks every other one.
struct SystemModule {
  const char* name;
  const NameWords* words;
  uint32_t pool;
  uint32_t rare;
  uint32_t hostExports;  // functions of the host's DLL, past the rare ones
};

const SystemModule kKernel = {"KERNEL32.dll", &kKernelWords, 500, 6, 1300};
const SystemModule kNtdll = {"NTDLL.dll", &kNtWords, 300, 4, 1900};
const SystemModule kUser = {"USER32.dll", &kUserWords, 400, 4, 1000};
const SystemModule kGdi = {"GDI32.dll", &kGdiWords, 150, 0, 0};

bool hostLacks(const SystemModule& module, uint32_t k) {
  return k >= module.pool && k < module.pool + module.rare && (k - module.pool) % 2 == 0;
}

double unit(Random& random) { return random.next(1u << 30) / double(1u << 30); }

// A size from `low` to `high` bytes, evenly spread on a log scale, in whole
// file-alignment units.
uint32_t logSize(Random& random, double low, double high) {
  return 0x200 * static_cast<uint32_t>(low * pow(high / low, unit(random)) / 0x200 + 1);
}

// About `count` distinct functions of a system module, most used ones most
// often; when `odd`, one rare function now and then.
ImportedModule systemImports(Random& random, const SystemModule& module, uint32_t count, bool odd) {
  ImportedModule imported;
  imported.name = module.name;
  std::set<uint32_t> chosen;
  for (uint32_t i = 0; i < count; ++i) chosen.insert(static_cast<uint32_t>(module.pool * pow(unit(random), 3)));
  if (odd && module.rare > 0 && random.next(30) == 0) chosen.insert(module.pool + random.next(module.rare));
  for (const uint32_t k : chosen) imported.functions.push_back({wordName(*module.words, k)});
  return imported;
}

struct TreeImage {
  std::string name;
  ImagePlan plan;
};

// About `count` functions imported from the tree's DLL `target`;
// `byOrdinals` imports a third of the named ones by ordinal; when `odd`, now
// and then one that `target` lacks, as if built against a newer version.
ImportedModule treeImports(Random& random, const TreeImage& target, uint32_t count, bool byOrdinals,
                           bool odd) {
  ImportedModule imported;
  imported.name = target.name;
  // Now and then in another case, as another build wrote it.
  if (random.next(10) == 0)
    for (char& c : imported.name) c = static_cast<char>(random.next(2) == 0 ? toupper(c) : tolower(c));
  const std::vector<ExportedFunction>& exports = target.plan.exports;
  std::set<uint32_t> chosen;
  for (uint32_t i = 0; i < count; ++i)
    chosen.insert(static_cast<uint32_t>(static_cast<double>(exports.size()) * pow(unit(random), 2)));
  for (const uint32_t k : chosen) {
    if (exports[k].name.empty() || (byOrdinals && random.next(3) == 0))
      imported.functions.push_back(byOrdinal(k + 1));
    else
      imported.functions.push_back({exports[k].name});
  }
  if (odd && random.next(100) == 0)
    imported.functions.push_back({wordName(kTreeWords, static_cast<uint32_t>(exports.size()) + 3)});
  return imported;
}

// The exports of a tree DLL: about one in twenty by ordinal alone, the rest
// named as C functions or as C++ members; one in forty forwards to a DLL it
// imports from.
void addExports(Random& random, TreeImage& dll, uint32_t count, const std::vector<const TreeImage*>& uses) {
  const std::string stem = dll.name.substr(0, dll.name.size() - 4);
  std::string prefix;
  for (const char c : stem)
    if (isupper(static_cast<unsigned char>(c))) prefix += static_cast<char>(tolower(c));
  for (uint32_t k = 0; k < count; ++k) {
    ExportedFunction e;
    const std::string base = wordName(kTreeWords, k);
    if (random.next(20) == 0) e.name = "";
    else if (random.next(3) == 0) e.name = "?" + base + "@" + stem + "@@QAEXPAV" + std::to_string(k % 5) + "@@Z";
    else e.name = prefix + "_" + base;
    if (!e.name.empty() && !uses.empty() && random.next(40) == 0) {
      const TreeImage& target = *uses[random.next(static_cast<uint32_t>(uses.size()))];
      const uint32_t t = random.next(static_cast<uint32_t>(target.plan.exports.size()));
      const std::string& name = target.plan.exports[t].name;
      e.forwarder = target.name.substr(0, target.name.size() - 4) + "." +
                    (name.empty() ? "#" + std::to_string(t + 1) : name);
    }
    dll.plan.exports.push_back(e);
  }
}

// System imports of a tree image: KERNEL32, often NTDLL, and USER32 when
// `user` (now and then delay-loaded). Only DLLs outside the interfaces, and
// programs, import what may be missing (`odd`).
void addSystemImports(Random& random, ImagePlan& plan, bool user, bool odd) {
  plan.modules.push_back(systemImports(random, kKernel, 15 + random.next(100), odd));
  if (random.next(2) == 0) plan.modules.push_back(systemImports(random, kNtdll, 2 + random.next(20), odd));
  if (user) {
    plan.modules.push_back(systemImports(random, kUser, 5 + random.next(60), odd));
    if (random.next(20) == 0) plan.modules.back().delayed = true;
  }
}

// DLL `p` of component `c`, which uses the components `used`; `images` holds
// every DLL made before it.
TreeImage treeDll(Random& random, const std::vector<TreeImage>& images, uint32_t c, uint32_t p,
                  const std::set<uint32_t>& used) {
  static const char* const kFirst[] = {"Ka", "Vo", "Tel", "Mir", "Sun", "Dra", "Pel", "Zo"};
  static const char* const kSecond[] = {"bex", "lim", "nor", "quin", "ros", "tav", "wen", "dal"};
  static const char* const kRoles[] = {"Core", "Base", "Util", "Io",  "Net", "Text", "Data",
                                       "Fmt",  "Xml",  "Db",   "Img", "Svc", "Sync", "Rt",
                                       "Ext",  "Mgr",  "Ui",   "Gfx", "View", "Plug"};
  TreeImage dll;
  dll.name = std::string(kFirst[c % 8]) + kSecond[(c / 8 + c) % 8] + kRoles[p] + ".dll";
  dll.plan.dll = true;
  dll.plan.exportModuleName = dll.name;
  const bool big = random.next(25) == 0;
  dll.plan.sectionBeforeSize = big ? logSize(random, 1 << 20, 5 << 20)
                               : p < kInterface ? logSize(random, 64 << 10, 1 << 20)
                                                : logSize(random, 4 << 10, 256 << 10);
  std::vector<const TreeImage*> uses;
  for (uint32_t n = p == 0 ? 0 : 1 + random.next(3); n > 0; --n)
    uses.push_back(&images[c * kPerComponent + random.next(p)]);
  for (const uint32_t u : used)
    for (uint32_t n = 1 + random.next(2); n > 0; --n)
      uses.push_back(&images[u * kPerComponent + random.next(kInterface)]);
  std::sort(uses.begin(), uses.end());
  uses.erase(std::unique(uses.begin(), uses.end()), uses.end());
  const bool byOrdinals = random.next(10) == 0;
  for (const TreeImage* target : uses)
    dll.plan.modules.push_back(treeImports(random, *target, 8 + random.next(40), byOrdinals, p >= kInterface));
  if (p >= 2 && random.next(12) == 0) dll.plan.modules[random.next(static_cast<uint32_t>(uses.size()))].delayed = true;
  addSystemImports(random, dll.plan, p >= 10 || random.next(3) == 0, p >= kInterface);
  if (p >= 14 && random.next(15) == 0) dll.plan.modules.push_back(systemImports(random, kGdi, 3 + random.next(20), false));
  if (random.next(30) == 0) {
    dll.plan.modules.push_back(systemImports(random, kGdi, 2 + random.next(6), false));
    dll.plan.modules.back().delayed = true;
  }
  if (p == kPerComponent - 1 && c % 10 == 9) dll.plan.modules.push_back({"OptionalPack.dll", {{"PackInit"}}});
  addExports(random, dll, p < kInterface ? 200 + random.next(2800) : 20 + random.next(380), uses);
  return dll;
}

// Program `i`, which imports from the first `dlls` images, the DLLs.
TreeImage treeProgram(Random& random, const std::vector<TreeImage>& images, uint32_t dlls, uint32_t i) {
  static const char* const kPrograms[] = {"Studio.exe", "Launcher.exe", "Convert.exe", "Updater.exe",
                                          "Report.exe", "Server.exe",   "Shell.exe",   "Setup.exe"};
  TreeImage program;
  program.name = kPrograms[i];
  program.plan.sectionBeforeSize = i == 0 ? 6 << 20 : logSize(random, 128 << 10, 2 << 20);
  std::set<uint32_t> chosen;
  for (uint32_t n = i == 0 ? 60 : 10 + random.next(30); n > 0; --n) {
    const uint32_t c = random.next(kComponents);
    chosen.insert(c * kPerComponent + random.next(random.next(4) == 0 ? kPerComponent : kInterface));
  }
  for (const uint32_t t : chosen)
    if (t < dlls) program.plan.modules.push_back(treeImports(random, images[t], 5 + random.next(60), false, true));
  addSystemImports(random, program.plan, true, true);
  return program;
}

std::vector<TreeImage> treePlans() {
  Random random{20240611};
  std::vector<TreeImage> images;
  images.reserve(kComponents * kPerComponent + 8);
  for (uint32_t c = 0; c < kComponents; ++c) {
    std::set<uint32_t> used;  // components this one uses
    if (c > 0) used.insert(0);
    for (uint32_t n = random.next(3); c > 1 && n > 0; --n) used.insert(1 + random.next(c - 1));
    for (uint32_t p = 0; p < kPerComponent; ++p) images.push_back(treeDll(random, images, c, p, used));
  }
  // Base forwards some of its exports to the system, as a thin layer does.
  for (uint32_t k = 0; k < images[0].plan.exports.size(); k += 37)
    if (!images[0].plan.exports[k].name.empty())
      images[0].plan.exports[k].forwarder =
          k % 2 == 0 ? "KERNEL32." + wordName(kKernelWords, k % kKernel.pool) : "NTDLL." + wordName(kNtWords, k % kNtdll.pool);
  const uint32_t dlls = static_cast<uint32_t>(images.size());
  for (uint32_t i = 0; i < 8; ++i) images.push_back(treeProgram(random, images, dlls, i));
  return images;
}

// The host's own DLL for `module`: what the tree may import from it but
// every other rare function, and many functions that nothing imports; a few
// of KERNEL32's forward to NTDLL.
ImagePlan hostPlan(const SystemModule& module) {
  ImagePlan plan;
  plan.dll = true;
  plan.exportModuleName = module.name;
  plan.sectionBeforeSize = 0x200 * (module.hostExports / 2);
  for (uint32_t k = 0; k < module.pool + module.rare + module.hostExports; ++k) {
    if (hostLacks(module, k)) continue;
    ExportedFunction e{wordName(*module.words, k), ""};
    if (&module == &kKernel && k % 50 == 49) e.forwarder = "NTDLL." + wordName(kNtWords, k);
    plan.exports.push_back(e);
  }
  return plan;
}

bool makeFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0777) == 0 || errno == EEXIST) return true;
  perror(folder.c_str());
  return false;
}

bool writeTree(const std::string& folder) {
  const std::string bin = folder + "/bin";
  const std::string host = folder + "/host";
  for (const std::string& f : {folder, bin, host})
    if (!makeFolder(f)) return false;
  for (const TreeImage& image : treePlans())
    if (!writeFile(bin + "/" + image.name, buildImage(image.plan).bytes)) return false;
  return writeFile(host + "/KERNEL32.DLL", buildImage(hostPlan(kKernel)).bytes) &&
         writeFile(host + "/NTDLL.DLL", buildImage(hostPlan(kNtdll)).bytes) &&
         writeFile(host + "/USER32.DLL", buildImage(hostPlan(kUser)).bytes);
}


// ---- Lookups that must not grow with unrelated files ----------------------------
//
// Each folder holds a program, Main.exe, and the DLLs it loads:
// wide/: Main.exe, the 2,500 DLLs Lib0000.dll to Lib2499.dll that it loads,
// and 37,500 DLLs that nothing imports, Extra00000.dll to Extra37499.dll, whose
// names sort before every DLL that is looked up. Main.exe imports Lib0000 to
// Lib0099; Lib<k> imports Lib<k+100>, so that the rest load in 100 chains of
// 25. narrow/: the same program and 2,500 DLLs (hard links) alone.
// chain/: Main.exe imports Chain00000.dll, and each of the 20,000 Chain DLLs
// imports the next. forward/: Main.exe imports Func from Fwd00000.dll, and
// each of the 20,000 Fwd DLLs forwards it to the next, whose last exports it.
// host/: KERNEL32.DLL, NTDLL.DLL and USER32.DLL exporting ExitProcess, which
// every image imports, so that every program loads and its report is a line.
// Every DLL is one of the builder's smallest: a page of headers, one of code,
// one of imports and one of exports.

const uint32_t kLookupUsed = 2500;
const uint32_t kLookupDirect = 100;
const uint32_t kLookupUnrelated = 37500;
const uint32_t kLookupChain = 20000;

std::string numbered(const char* stem, uint32_t digits, uint32_t n, const char* extension) {
  char name[32];
  snprintf(name, sizeof name, "%s%0*u%s", stem, static_cast<int>(digits), n, extension);
  return name;
}

// A small DLL named `name` that exports `exports` and imports one function
// from each of `imports`, and ExitProcess from KERNEL32.
ImagePlan smallDll(const std::string& name, const std::vector<ExportedFunction>& exports,
                   const std::vector<std::string>& imports) {
  ImagePlan plan;
  plan.dll = true;
  plan.exportModuleName = name;
  plan.exports = exports;
  for (const std::string& module : imports) plan.modules.push_back({module, {{"Func"}}});
  plan.modules.push_back({"KERNEL32.dll", {{"ExitProcess"}}});
  return plan;
}

// A program importing Func from each of `modules`.
std::vector<uint8_t> lookupProgram(const std::vector<std::string>& modules) {
  ImagePlan plan;
  for (const std::string& module : modules) plan.modules.push_back({module, {{"Func"}}});
  plan.modules.push_back({"KERNEL32.dll", {{"ExitProcess"}}});
  return buildImage(plan).bytes;
}

bool linkFile(const std::string& from, const std::string& to) {
  if (link(from.c_str(), to.c_str()) == 0) return true;
  perror(to.c_str());
  return false;
}

bool writeLookups(const std::string& folder) {
  const std::string wide = folder + "/wide", narrow = folder + "/narrow";
  const std::string chain = folder + "/chain", forward = folder + "/forward", host = folder + "/host";
  for (const std::string& f : {folder, wide, narrow, chain, forward, host})
    if (!makeFolder(f)) return false;
  for (const char* module : {"KERNEL32.DLL", "NTDLL.DLL", "USER32.DLL"}) {
    ImagePlan plan;
    plan.dll = true;
    plan.exportModuleName = module;
    plan.exports = {{"ExitProcess", ""}};
    if (!writeFile(host + "/" + module, buildImage(plan).bytes)) return false;
  }

  std::vector<std::string> direct;
  for (uint32_t k = 0; k < kLookupDirect; ++k) direct.push_back(numbered("Lib", 4, k, ".dll"));
  const std::vector<uint8_t> main = lookupProgram(direct);
  if (!writeFile(wide + "/Main.exe", main) || !linkFile(wide + "/Main.exe", narrow + "/Main.exe")) return false;
  for (uint32_t k = 0; k < kLookupUsed; ++k) {
    const std::string name = numbered("Lib", 4, k, ".dll");
    std::vector<std::string> imports;
    if (k + kLookupDirect < kLookupUsed) imports.push_back(numbered("Lib", 4, k + kLookupDirect, ".dll"));
    if (!writeFile(wide + "/" + name, buildImage(smallDll(name, {{"Func", ""}}, imports)).bytes) ||
        !linkFile(wide + "/" + name, narrow + "/" + name))
      return false;
  }
  // The unrelated DLLs are alike but for their files: a reader that opened
  // them would pay for each.
  const std::vector<uint8_t> unrelated = buildImage(smallDll("Extra.dll", {{"Func", ""}}, {})).bytes;
  for (uint32_t k = 0; k < kLookupUnrelated; ++k)
    if (!writeFile(wide + "/" + numbered("Extra", 5, k, ".dll"), unrelated)) return false;

  if (!writeFile(chain + "/Main.exe", lookupProgram({"Chain00000.dll"}))) return false;
  for (uint32_t k = 0; k < kLookupChain; ++k) {
    const std::string name = numbered("Chain", 5, k, ".dll");
    std::vector<std::string> imports;
    if (k + 1 < kLookupChain) imports.push_back(numbered("Chain", 5, k + 1, ".dll"));
    if (!writeFile(chain + "/" + name, buildImage(smallDll(name, {{"Func", ""}}, imports)).bytes)) return false;
  }

  if (!writeFile(forward + "/Main.exe", lookupProgram({"Fwd00000.dll"}))) return false;
  for (uint32_t k = 0; k < kLookupChain; ++k) {
    const std::string name = numbered("Fwd", 5, k, ".dll");
    const std::string to = k + 1 < kLookupChain ? numbered("Fwd", 5, k + 1, ".Func") : "";
    if (!writeFile(forward + "/" + name, buildImage(smallDll(name, {{"Func", to}}, {})).bytes)) return false;
  }
  return true;
}

// `plan`'s image with its data directory `index` moved far past the end of
// the file.
std::vector<uint8_t> directoryPastEnd(const ImagePlan& plan, unsigned index) {
  BuiltImage built = buildImage(plan);
  put32(built.bytes, built.peOffset + kPe32DirectoryCount + 4 + 8 * index, 0xF00000);
  return built.bytes;
}

// The program tree of zymran-check's CI report test: under <folder>/app a
// program that meets one problem of each kind (KERNEL32's CreateFileW and
// GetTickCount, which a host may lack; GDI32; a DLL found nowhere, one to be
// made unreadable, one not PE, one 64-bit, one with damaged delay-load data;
// a DLL of <folder>/libs that lacks two of its functions and needs a DLL
// found nowhere; a module whose name holds bytes that reports must escape;
// a delay-loaded DLL found nowhere), programs that load, load with a delayed
// problem only, or lack CreateFileW alone, and programs damaged or 64-bit
// themselves.
bool writeFormats(const std::string& folder) {
  const std::string app = folder + "/app/";
  const std::string libs = folder + "/libs/";
  for (const std::string& f : {folder, app, libs})
    if (!makeFolder(f)) return false;
  const ImportedModule kernel = {"KERNEL32.dll", {{"GetVersion"}}};
  const ImportedModule later = {"LATER.DLL", {{"Later"}}, false, true};
  ImagePlan wide = dllPlan("WIDE.DLL", {{"Wide", ""}});
  wide.pe32plus = true;
  ImagePlan wideProgram = programPlan({kernel});
  wideProgram.pe32plus = true;
  BuiltImage bad = buildImage(dllPlan("BAD.DLL", {{"Bad", ""}}));
  put32(bad.bytes, bad.peOffset + kPeSignature, 0);
  const ImagePlan program = programPlan({
      {"KERNEL32.dll", {{"GetVersion"}, {"CreateFileW"}, {"GetTickCount"}}},
      {"GDI32.dll", {{"TextOutA"}}},
      {"MISSING.DLL", {{"Start"}}},
      {"SECRET.DLL", {{"Help"}}},
      {"BAD.DLL", {{"Bad"}}},
      {"WIDE.DLL", {{"Wide"}}},
      {"PLUGIN.DLL", {{"Exported"}, {"Absent"}, byOrdinal(7)}},
      {"DELAYBAD.DLL", {{"Run"}}},
      {"odd%:,\n&<>\"\x01\x7f\xe9.dll", {{"Odd"}}},
      later});
  return writeFile(app + "APP.EXE", buildImage(program).bytes) &&
         writeFile(app + "SECRET.DLL", buildImage(dllPlan("SECRET.DLL", {{"Help", ""}})).bytes) &&
         writeFile(app + "BAD.DLL", bad.bytes) && writeFile(app + "WIDE.DLL", buildImage(wide).bytes) &&
         writeFile(app + "DELAYBAD.DLL",
                   directoryPastEnd(dllPlan("DELAYBAD.DLL", {{"Run", ""}}, {kernel, later}),
                                    kDelayImportDirectory)) &&
         writeFile(libs + "PLUGIN.DLL",
                   buildImage(dllPlan("PLUGIN.DLL", {{"Exported", ""}}, {kernel, {"HELPER.DLL", {{"Assist"}}}}))
                       .bytes) &&
         writeFile(app + "OK.EXE", buildImage(programPlan({kernel})).bytes) &&
         writeFile(app + "DELAYONLY.EXE", buildImage(programPlan({kernel, later})).bytes) &&
         writeFile(app + "KNOWN.EXE", buildImage(programPlan({{"KERNEL32.dll", {{"CreateFileW"}}}})).bytes) &&
         writeFile(app + "DAMAGED.EXE", directoryPastEnd(programPlan({kernel}), kImportDirectory)) &&
         writeFile(app + "WIDE.EXE", buildImage(wideProgram).bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "sample") == 0)
    return writeFile(argv[2], buildImage(sampleImagePlan()).bytes) ? 0 : 1;
  if (argc == 3 && strcmp(argv[1], "seeds") == 0) {
    const std::vector<std::vector<uint8_t>> images = seeds();
    for (size_t i = 0; i < images.size(); ++i)
      if (!writeFile(std::string(argv[2]) + "/seed" + std::to_string(i) + ".dll", images[i])) return 1;
    return 0;
  }
  if (argc == 4 && strcmp(argv[1], "corpus") == 0) {
    const uint32_t count = static_cast<uint32_t>(atoi(argv[3]));
    for (uint32_t i = 0; i < count; ++i) {
      char name[32];
      snprintf(name, sizeof name, "/image%04u.dll", i);
      if (!writeFile(std::string(argv[2]) + name, buildImage(corpusPlan(i)).bytes)) return 1;
    }
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "profile-bench") == 0) {
    const std::string folder = argv[2];
    return writeFile(folder + "/exports1500.dll", manyExportsImage()) &&
                   writeFile(folder + "/sections65535.dll", manySectionsImage())
               ? 0
               : 1;
  }
  if (argc == 3 && strcmp(argv[1], "tree") == 0) return writeTree(argv[2]) ? 0 : 1;
  if (argc == 4 && strcmp(argv[1], "names") == 0)
    return writeFile(argv[2], manyNamesImage(static_cast<uint32_t>(atoi(argv[3])))) ? 0 : 1;
  if (argc == 3 && strcmp(argv[1], "lookups") == 0) return writeLookups(argv[2]) ? 0 : 1;
  if (argc == 3 && strcmp(argv[1], "formats") == 0) return writeFormats(argv[2]) ? 0 : 1;
  fprintf(stderr,
          "usage: zymran_mkimage sample <file> | seeds <folder> | corpus <folder> <count> | "
          "profile-bench <folder> | tree <folder> | names <file> <count> | lookups <folder> | formats <folder>\n");
  return 2;
}
