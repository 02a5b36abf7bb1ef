#include "profile.h"

#include <stdint.h>

#include "host/deffile.h"
#include "image/exports.h"
#include "platform/outfile.h"
#include "platform/platform.h"

namespace {

// "zymran-profile: <file>: <what>" on standard error.
int complain(const char* file, const char* what, int status) {
  const char* const pieces[] = {"zymran-profile: ", file, ": ", what, "\n"};
  for (const char* piece : pieces) writeStdErr(piece, textLength(piece));
  return status;
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

// The last component of a path.
const char* baseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p)
    if (isSeparator(*p)) base = p + 1;
  return base;
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
  const size_t length = stemLength(a);
  if (stemLength(b) != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (upperAscii(a[i]) != upperAscii(b[i])) return false;
  return true;
}

// "<folder>/<DLL's name without its extension>.def", in a heap block.
char* profilePath(const char* folder, const char* dllName) {
  const size_t folderLength = textLength(folder);
  const size_t stem = stemLength(dllName);
  char* path = static_cast<char*>(memAlloc(folderLength + stem + 6));
  if (path == nullptr) return nullptr;
  copyBytes(path, folder, folderLength);
  size_t at = folderLength;
  if (at > 0 && !isSeparator(path[at - 1])) path[at++] = '/';
  copyBytes(path + at, dllName, stem);
  copyBytes(path + at + stem, ".def", 5);
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

bool addExport(void* context, const char* name, uint32_t address, Note* fault) {
  if (defNameForm(name) == kDefUnwritable) {
    fault->add("export name at address ").addHex(address);
    fault->add(" holds a byte that a module-definition file cannot hold");
    return false;
  }
  OutFile* out = static_cast<OutFile*>(context);
  writeName(out, name);
  outFileWrite(out, "\n", 1);
  return true;
}

// Writes the profile of the DLL in `image` (named `dll`) to `path`.
int writeProfile(const char* dll, Bytes image, const char* path) {
  const char* module = baseName(dll);
  if (defNameForm(module) == kDefUnwritable)
    return complain(dll, "its name can't stand in a module-definition file", kFileFailed);
  OutFile* out = outFileCreate(path);
  if (out == nullptr) return complain(path, "can't be written", kFileFailed);
  outFileWrite(out, "LIBRARY ", 8);
  writeName(out, module);
  outFileWrite(out, "\nEXPORTS\n", 9);
  Note fault;
  if (!readExportNames(image, addExport, out, &fault)) {
    outFileAbandon(out);
    return complain(dll, fault.text, kDllDamaged);
  }
  if (!outFileCommit(out)) return complain(path, "can't be written", kFileFailed);
  return kProfilesWritten;
}

// Reads one DLL whole (memory follows the file) and writes its profile.
int profileOne(const char* folder, const char* dll) {
  File* file = fileOpenNative(dll);
  if (file == nullptr) return complain(dll, "can't be opened", kFileFailed);
  const uint64_t size = fileSize(file);
  if (size > UINT32_MAX) {
    fileClose(file);
    return complain(dll, "not a PE image: larger than 4 GiB", kDllDamaged);
  }
  uint8_t* data = static_cast<uint8_t*>(memAlloc(static_cast<size_t>(size)));
  const uint32_t got = data == nullptr ? 0 : fileRead(file, data, static_cast<uint32_t>(size));
  fileClose(file);
  int status;
  char* path = profilePath(folder, baseName(dll));
  if (got != size || path == nullptr) status = complain(dll, "can't be read", kFileFailed);
  else status = writeProfile(dll, {data, got}, path);
  memFree(path);
  memFree(data);
  return status;
}

}  // namespace

int runProfile(int argc, char** argv) {
  if (argc < 3) {
    static const char kUsage[] =
        "usage: zymran-profile <folder> <DLL>...\n"
        "  Writes <folder>/<name>.def, the names that each DLL exports.\n";
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
