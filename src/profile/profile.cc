#include "profile.h"

#include <stdint.h>

#include "host/deffile.h"
#include "pe/exports.h"
#include "pe/names.h"
#include "platform/outfile.h"
#include "platform/platform.h"

namespace {

// "zymran-profile: <file>: <what>" on standard error.
int complain(const char* file, const char* what, int status) {
  const char* const pieces[] = {"zymran-profile: ", file, ": ", what, "\n"};
  for (const char* piece : pieces) writeStdErr(piece, textLength(piece));
  return status;
}

// Length of a DLL's name without its extension: the name of its profile.
size_t stemLength(const char* dllName) {
  const size_t length = textLength(dllName);
  for (size_t i = length; i > 0; --i)
    if (dllName[i - 1] == '.') return i - 1;
  return length;
}

// Whether two DLLs would write the same profile, on a file system that
// ignores case too.
bool sameProfile(const char* a, const char* b) {
  return sameIgnoringCase(a, stemLength(a), b, stemLength(b));
}

// "<folder>/<DLL's name without its extension>.def"; empty when memory is
// short.
Block<char> profilePath(const char* folder, const char* dllName) {
  const size_t folderLength = textLength(folder);
  const size_t stem = stemLength(dllName);
  Block<char> path;
  if (!path.allocate(static_cast<uint64_t>(folderLength) + stem + 6)) return path;
  copyBytes(path.get(), folder, folderLength);
  size_t at = folderLength;
  if (at > 0 && !isNativeSeparator(path[at - 1])) path[at++] = '/';
  copyBytes(path.get() + at, dllName, stem);
  copyBytes(path.get() + at + stem, ".def", 5);
  return path;
}

// A name as readDefinition will read it back; the caller has checked that
// it can be written.
void writeName(OutFile* out, const char* name) {
  const bool quoted = defNameForm(name) == kDefQuoted;
  if (quoted) outFileWrite(out, "\"", 1);
  outFileWrite(out, name, textLength(name));
  if (quoted) outFileWrite(out, "\"", 1);
}

// Ordinals above this can't be imported, nor written.
const uint64_t kMaxOrdinal = 0xFFFF;

void writeOrdinal(OutFile* out, uint64_t ordinal) {
  Note text;
  text.add(" @").addDecimal(ordinal);
  outFileWrite(out, text.text, text.used);
}

// The profile being written. An entry without a name is written under a
// stand-in name, "Ordinal<n>", with underscores in front while the DLL
// exports a name of that text: the module-definition grammar needs a name on
// every line, and the toolchains refuse one name twice. So only the names of
// that form are kept, each as its ordinal and its count of underscores; they
// are sorted once the first entry without a name comes (every name comes
// before it).
struct Profile {
  OutFile* out;
  Block<uint32_t> standIns;  // (ordinal << 16) | underscores
  uint32_t count;
  bool sorted;
};

// The key of a name that a stand-in name could equal: "_"... "Ordinal" and
// an ordinal up to kMaxOrdinal written as Note::addDecimal writes it.
bool standInKey(const char* name, uint32_t* key) {
  uint32_t underscores = 0;
  while (name[underscores] == '_') ++underscores;
  const char* at = name + underscores;
  static const char kWord[] = "Ordinal";
  for (size_t i = 0; i + 1 < sizeof kWord; ++i)
    if (at[i] != kWord[i]) return false;
  at += sizeof kWord - 1;
  uint32_t ordinal = 0;
  size_t digits = 0;
  for (; at[digits] >= '0' && at[digits] <= '9'; ++digits) {
    if (digits > 0 && ordinal == 0) return false;  // a leading zero
    ordinal = ordinal * 10 + static_cast<uint32_t>(at[digits] - '0');
    if (ordinal > kMaxOrdinal) return false;
  }
  if (digits == 0 || at[digits] != '\0' || underscores > 0xFFFF) return false;
  *key = (ordinal << 16) | underscores;
  return true;
}

bool byKey(const void* context, uint32_t a, uint32_t b) {
  const uint32_t* keys = static_cast<const uint32_t*>(context);
  return keys[a] < keys[b];
}

bool remember(Profile* profile, const char* name) {
  uint32_t key = 0;
  if (!standInKey(name, &key)) return true;
  if (profile->count == profile->standIns.count()) {
    Block<uint32_t> keys;
    if (!keys.allocate(profile->count == 0 ? 16 : 2 * static_cast<uint64_t>(profile->count))) return false;
    if (profile->count > 0) copyBytes(keys.get(), profile->standIns.get(), sizeof(uint32_t) * profile->count);
    profile->standIns.swap(keys);
  }
  profile->standIns[profile->count++] = key;
  return true;
}

// Sorts the keys kept, for taken().
bool sortKeys(Profile* profile) {
  Block<uint32_t> order;
  Block<uint32_t> sorted;
  if (!order.allocate(profile->count + 1) || !sorted.allocate(profile->count + 1)) return false;
  for (uint32_t i = 0; i < profile->count; ++i) order[i] = i;
  sortItems(order.get(), profile->count, byKey, profile->standIns.get());
  for (uint32_t i = 0; i < profile->count; ++i) sorted[i] = profile->standIns[order[i]];
  profile->standIns.swap(sorted);
  profile->sorted = true;
  return true;
}

// Whether the DLL exports the stand-in name of `ordinal` with `underscores`
// in front: a binary search of the sorted keys.
bool taken(const Profile& profile, uint64_t ordinal, uint32_t underscores) {
  const uint64_t key = (ordinal << 16) | underscores;
  uint32_t low = 0;
  uint32_t high = profile.count;
  while (low < high) {
    const uint32_t mid = low + (high - low) / 2;
    if (profile.standIns[mid] == key) return true;
    if (profile.standIns[mid] < key) low = mid + 1;
    else high = mid;
  }
  return false;
}

bool writeUnnamed(Profile* profile, uint64_t ordinal, Note* fault) {
  if (!profile->sorted && !sortKeys(profile)) {
    fault->add("no memory for the names of the profile");
    return false;
  }
  Note name;
  name.add("Ordinal").addDecimal(ordinal);
  for (uint32_t underscores = 0; taken(*profile, ordinal, underscores); ++underscores) {
    if (name.used + 2 >= sizeof name.text) {
      fault->add("no name is free for the export of ordinal ").addDecimal(ordinal);
      return false;
    }
    Note longer;
    longer.add("_").add(name.text);
    name = longer;
  }
  outFileWrite(profile->out, name.text, name.used);
  writeOrdinal(profile->out, ordinal);
  outFileWrite(profile->out, " NONAME\n", 8);
  return true;
}

bool addExport(void* context, const Export& entry, Note* fault) {
  Profile* profile = static_cast<Profile*>(context);
  const bool ordinal = entry.hasOrdinal && entry.ordinal <= kMaxOrdinal;
  if (entry.name == nullptr) return !ordinal || writeUnnamed(profile, entry.ordinal, fault);
  if (defNameForm(entry.name) == kDefUnwritable) {
    fault->add("export name at address ").addHex(entry.nameAddress);
    fault->add(" holds a byte that a module-definition file cannot hold");
    return false;
  }
  if (!remember(profile, entry.name)) {
    fault->add("no memory for the names of the profile");
    return false;
  }
  writeName(profile->out, entry.name);
  if (ordinal) writeOrdinal(profile->out, entry.ordinal);
  outFileWrite(profile->out, "\n", 1);
  return true;
}

// Writes the profile of the DLL in `image` (named `dll`) to `path`.
int writeProfile(const char* dll, MappedImage* image, const char* path) {
  const char* module = baseName(dll);
  if (defNameForm(module) == kDefUnwritable)
    return complain(dll, "its name can't stand in a module-definition file", kFileFailed);
  Profile profile = {outFileCreate(path), Block<uint32_t>(), 0, false};
  if (profile.out == nullptr) return complain(path, "can't be written", kFileFailed);
  outFileWrite(profile.out, "LIBRARY ", 8);
  writeName(profile.out, module);
  outFileWrite(profile.out, "\nEXPORTS\n", 9);
  Note fault;
  if (!readExports(image, addExport, &profile, &fault)) {
    outFileAbandon(profile.out);
    return complain(dll, fault.text, kDllDamaged);
  }
  if (!outFileCommit(profile.out)) return complain(path, "can't be written", kFileFailed);
  return kProfilesWritten;
}

// Reads the headers and export data of the DLL open in `file` and writes its
// profile.
int profileFile(const char* folder, const char* dll, File* file) {
  const Block<char> path = profilePath(folder, baseName(dll));
  if (path.get() == nullptr) return complain(dll, "can't be read", kFileFailed);
  MappedImage image;
  Note fault;
  if (!mapImage(fileSource(file), &image, &fault)) return complain(dll, fault.text, kDllDamaged);
  return writeProfile(dll, &image, path.get());
}

int profileOne(const char* folder, const char* dll) {
  File* file = fileOpenNative(dll);
  if (file == nullptr) return complain(dll, "can't be opened", kFileFailed);
  const int status = profileFile(folder, dll, file);
  fileClose(file);
  return status;
}

}  // namespace

int runProfile(int argc, char** argv) {
  if (argc < 3) {
    static const char kUsage[] =
        "zymran-profile " ZYMRAN_VERSION "\n"
        "usage: zymran-profile <folder> <DLL>...\n"
        "  Writes <folder>/<name>.def: what each DLL exports, by name and ordinal.\n";
    writeStdErr(kUsage, sizeof kUsage - 1);
    return kFileFailed;
  }
  int status = kProfilesWritten;
  for (int i = 2; i < argc; ++i) {
    // A second DLL of the same name would replace the first one's profile.
    int first = 2;
    while (first < i && !sameProfile(baseName(argv[first]), baseName(argv[i]))) ++first;
    const int one = first < i ? complain(argv[i], "its profile would replace that of an earlier DLL",
                                         kFileFailed)
                              : profileOne(argv[1], argv[i]);
    if (one > status) status = one;
  }
  return status;
}
