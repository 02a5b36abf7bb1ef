#include "check/hosts.h"

#include <memory>

#include "check/builtin.h"
#include "check/files.h"
#include "host/deffile.h"
#include "image/modules.h"
#include "pe/exports.h"

namespace check {

namespace {

void addDefEntry(void* context, const DefExport& entry) {
  Host::Module& module = *static_cast<Host::Module*>(context);
  if (!entry.noName) module.names.emplace(entry.name.text, entry.name.length);
  if (entry.hasOrdinal) module.ordinals.insert(entry.ordinal);
}

// A module-definition file's text; `file` names it in messages. Sets
// `*library` to its LIBRARY name.
bool readDef(const std::string& file, const std::string& text, Host::Module* module, std::string* library,
             std::string* error) {
  DefText name;
  DefFault fault;
  if (!readDefinition(text.data(), text.size(), &name, addDefEntry, module, &fault)) {
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
  const std::unique_ptr<File, void (*)(File*)> file(fileOpenNative(path.c_str()), fileClose);
  if (file == nullptr) {
    *error = path + ": can't be opened";
    return false;
  }
  MappedImage image;
  Note fault;
  if (mapImage(fileSource(file.get()), &image, &fault) && readExports(&image, addExport, module, &fault)) return true;
  *error = path + ": " + fault.text;
  return false;
}

// The file of the emulated module `module` in `entries`: its DLL or its
// module-definition file, in any case.
bool candidate(const std::string& folder, const std::vector<std::string>& entries, const char* module,
               std::string* chosen, std::string* error) {
  const std::string name = module;
  const std::string stem = upperCase(name.substr(0, name.rfind('.')));
  std::vector<std::string> found;
  for (const std::string& entry : entries) {
    const std::string upper = upperCase(entry);
    if ((upper == stem + ".DLL" || upper == stem + ".DEF") && isRegular(inFolder(folder, entry)))
      found.push_back(entry);
  }
  if (found.empty()) {
    *error = folder + ": holds no " + stem + ".DLL or " + stem + ".DEF";
    return false;
  }
  if (found.size() > 1) {
    *error = folder + ": " + found[0] + " and " + found[1] + " both stand for " + module;
    return false;
  }
  *chosen = found[0];
  return true;
}

// The module-definition file at `path`, whose LIBRARY line must name `module`.
bool readDefFile(const std::string& path, const char* module, Host::Module* profile, std::string* error) {
  std::string text;
  std::string library;
  std::string reason;
  if (!readWholeFile(path, &text, &reason)) {
    *error = path + ": can't be read";
    return false;
  }
  if (!readDef(path, text, profile, &library, error)) return false;
  if (sameModule(library.c_str(), module)) return true;
  *error = path + ": its LIBRARY line names " + library + ", not " + module;
  return false;
}

}  // namespace

bool readHostFolder(const std::string& name, const std::string& folder, Host* host, std::string* error) {
  host->name = name;
  std::vector<std::string> entries;
  std::string reason;
  if (!listFolder(folder, &entries, &reason)) {
    *error = folder + ": not a folder that can be read";
    return false;
  }
  for (const char* const module : implementedModules) {
    std::string chosen;
    if (!candidate(folder, entries, module, &chosen, error)) return false;
    const std::string path = inFolder(folder, chosen);
    Host::Module& profile = host->modules[moduleKey(module)];
    const bool dll = upperCase(chosen).compare(chosen.size() - 4, 4, ".DLL") == 0;
    if (!(dll ? readDll(path, &profile, error) : readDefFile(path, module, &profile, error))) return false;
  }
  return true;
}

bool builtinHost(Host* host, std::string* error) {
  host->name = "built-in";
  for (unsigned i = 0; i < builtinProfileCount; ++i) {
    const BuiltinProfile& profile = builtinProfiles[i];
    Host::Module module;
    std::string library;
    if (!readDef(profile.file, std::string(profile.text, profile.size), &module, &library, error)) return false;
    host->modules[moduleKey(library)] = module;
  }
  return true;
}

}  // namespace check
