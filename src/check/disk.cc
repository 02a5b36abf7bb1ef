#include "check/disk.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>

namespace check {

const std::vector<std::string>& DiskFiles::listing(const std::string& folder) {
  auto found = listings_.find(folder);
  if (found != listings_.end()) return found->second;
  std::vector<std::string> entries;
  if (DIR* dir = opendir(folder.empty() ? "." : folder.c_str())) {
    while (const dirent* entry = readdir(dir)) entries.push_back(entry->d_name);
    closedir(dir);
  }
  std::sort(entries.begin(), entries.end());
  return listings_.emplace(folder, entries).first->second;
}

std::string DiskFiles::find(const std::string& folder, const std::string& name) {
  const std::string wanted = upperCase(name);
  std::string chosen;
  for (const std::string& entry : listing(folder)) {
    if (upperCase(entry) != wanted) continue;
    const std::string path =
        folder.empty() ? entry : folder + (folder.back() == '/' ? "" : "/") + entry;
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    if (entry == name) return path;
    if (chosen.empty()) chosen = path;
  }
  return chosen;
}

const ImageInfo* DiskFiles::read(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  const auto key = std::make_pair(info.st_dev, info.st_ino);
  auto found = images_.find(key);
  if (found != images_.end()) return found->second.get();
  File* file = fileOpenNative(path.c_str());
  if (file == nullptr) return nullptr;
  auto image = std::make_unique<ImageInfo>(readImage(fileSource(file), names));
  fileClose(file);
  return images_.emplace(key, std::move(image)).first->second.get();
}

}  // namespace check
