#include "check/hosts.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "check/builtin.h"
#include "host/deffile.h"
#include "pe/exports.h"
#include "image/modules.h"

namespace check {

namespace {

// A module name as the stand-in host compares it: without an extension it
// gets ".dll".
std::string moduleKey(const std::string& name) {
  const size_t dot = name.find_last_of("./\\");
  return upperCase(dot == std::string::npos || name[dot] != '.' ? name + ".dll" : name);
}

void addDefEntry(void* context, const DefExport& entry) {
  Host::Module& module = *static_cast<Host::Module*>(context);
  if (!entry.noName) module.names.emplace(entry.name.text, entry.name.length);
  if (entry.hasOrdinal) module.ordinals.insert(entry.ordinal);
}

// A module-definition file's text; `file` names it in messages. Sets
// `*library` to its LIBRARY name.
bool readDef(const std::string& file, const char* text, size_t size, Host::Module* module,
             std::string* library, std::string* error) {
  DefText name;
  DefFault fault;
  if (!readDefinition(text, size, &name, addDefEntry, module, &fault)) {
    *error = file + (fault.line == 0 ? "" : ":" + std::to_string(fault.line)) + ": " + fault.what.text;
    return false;
  }
  library->assign(name.text, name.length);
  return true;
}

// An export as the module's profile lists it: each name, and each ordinal
// that the profile carries.
bool addExport(void* context, const Export& entry, Note*) {
  Host::Module& module = *static_cast<Host::Module*>(context);
  if (entry.name != nullptr) module.names.insert(entry.name);
  if (entry.hasOrdinal && entry.ordinal <= 0xFFFF) module.ordinals.insert(static_cast<uint32_t>(entry.ordinal));
  return true;
}

bool readDll(const std::string& path, Host::Module* module, std::string* error) {
  File* file = fileOpenNative(path.c_str());
  if (file == nullptr) {
    *error = path + ": can't be opened";
    return false;
  }
  MappedImage image;
  Note fault;
  bool ok = mapImage(fileSource(file), &image, &fault);
  if (ok) {
    ok = readExports(&image, addExport, module, &fault);
    unmapImage(&image);
  }
  fileClose(file);
  if (!ok) *error = path + ": " + fault.text;
  return ok;
}

bool readWhole(const std::string& path, std::string* text) {
  File* file = fileOpenNative(path.c_str());
  if (file == nullptr) return false;
  const uint64_t size = fileSize(file);
  bool ok = size < (uint64_t(1) << 30);
  if (ok) {
    text->resize(static_cast<size_t>(size));
    ok = size == 0 || fileRead(file, &(*text)[0], static_cast<uint32_t>(size)) == size;
  }
  fileClose(file);
  return ok;
}

bool checkLibrary(const std::string& file, const std::string& library, const std::string& wanted,
                  std::string* error) {
  if (moduleKey(library) == upperCase(wanted)) return true;
  *error = file + ": its LIBRARY line names " + library + ", not " + wanted;
  return false;
}

}  // namespace

bool readHostFolder(const std::string& name, const std::string& folder, Host* host, std::string* error) {
  host->name = name;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    *error = folder + ": not a folder that can be read";
    return false;
  }
  std::vector<std::string> entries;
  while (const dirent* entry = readdir(dir)) entries.push_back(entry->d_name);
  closedir(dir);
  std::sort(entries.begin(), entries.end());
  for (const char* const module : implementedModules) {
    const std::string key = upperCase(module);
    const std::string stem = key.substr(0, key.size() - 4);
    std::vector<std::string> candidates;
    for (const std::string& entry : entries) {
      const std::string upper = upperCase(entry);
      struct stat info;
      if ((upper == stem + ".DLL" || upper == stem + ".DEF") && stat((folder + "/" + entry).c_str(), &info) == 0 &&
          S_ISREG(info.st_mode))
        candidates.push_back(entry);
    }
    if (candidates.empty()) {
      *error = folder + ": holds no " + stem + ".DLL or " + stem + ".DEF";
      return false;
    }
    if (candidates.size() > 1) {
      *error = folder + ": " + candidates[0] + " and " + candidates[1] + " both stand for " + module;
      return false;
    }
    const std::string path = folder + "/" + candidates[0];
    Host::Module& profile = host->modules[key];
    if (upperCase(candidates[0]).compare(stem.size(), 4, ".DLL") == 0) {
      if (!readDll(path, &profile, error)) return false;
      continue;
    }
    std::string text;
    std::string library;
    if (!readWhole(path, &text)) {
      *error = path + ": can't be read";
      return false;
    }
    if (!readDef(path, text.data(), text.size(), &profile, &library, error) ||
        !checkLibrary(path, library, module, error))
      return false;
  }
  return true;
}

bool builtinHost(Host* host, std::string* error) {
  host->name = "built-in";
  for (unsigned i = 0; i < builtinProfileCount; ++i) {
    const BuiltinProfile& profile = builtinProfiles[i];
    Host::Module module;
    std::string library;
    if (!readDef(profile.file, profile.text, profile.size, &module, &library, error)) return false;
    host->modules[moduleKey(library)] = module;
  }
  return true;
}

}  // namespace check
