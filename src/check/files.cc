#include "check/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/platform.h"

namespace check {

bool listFolder(const std::string& folder, std::vector<std::string>* names, std::string* reason) {
  names->clear();
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) {
    *reason = strerror(errno);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names->push_back(entry->d_name);
  }
  const int error = errno;
  closedir(dir);
  if (error != 0) {
    *reason = strerror(error);
    return false;
  }
  std::sort(names->begin(), names->end());
  return true;
}

bool readWholeFile(const std::string& path, std::string* text, std::string* reason) {
  text->clear();
  const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *reason = strerror(errno);
    return false;
  }
  struct stat info;
  bool ok = fstat(fd, &info) == 0;
  if (ok && !S_ISREG(info.st_mode)) {
    *reason = "not a regular file";
    close(fd);
    return false;
  }
  char buffer[65536];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
  if (!ok) *reason = strerror(errno);
  close(fd);
  return ok;
}

bool isRegular(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string fileName(const std::string& path) { return baseName(path.c_str()); }

std::string folderOf(const std::string& path) {
  const size_t nameAt = path.size() - fileName(path).size();
  if (nameAt == 0) return "";
  return nameAt == 1 ? "/" : path.substr(0, nameAt - 1);
}

std::string inFolder(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder + (folder.back() == '/' ? "" : "/") + name;
}

}  // namespace check
