#include "check/disk.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "check/files.h"

namespace check {

namespace {

// An image's bytes read from an open file: one positioned read a range.
uint32_t readAt(void* context, uint32_t offset, void* out, uint32_t count) {
  const int fd = *static_cast<int*>(context);
  uint32_t done = 0;
  while (done < count) {
    const ssize_t n = pread(fd, static_cast<char*>(out) + done, count - done, static_cast<off_t>(offset) + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<uint32_t>(n);
  }
  return done;
}

}  // namespace

const DiskFiles::Listing& DiskFiles::listing(const std::string& folder) {
  const auto found = listings_.find(folder);
  if (found != listings_.end()) return found->second;
  Listing& listing = listings_[folder];
  std::vector<std::string> entries;
  std::string reason;
  if (!listFolder(folder, &entries, &reason)) {
    faults_.push_back((folder.empty() ? std::string(".") : folder) + ": can't be listed: " + reason);
    return listing;
  }
  for (std::string& name : entries) listing.byName[upperCase(name)].push_back(std::move(name));
  return listing;
}

std::string DiskFiles::find(const std::string& folder, const std::string& name) {
  const Listing& entries = listing(folder);
  const auto candidates = entries.byName.find(upperCase(name));
  if (candidates == entries.byName.end()) return "";
  std::string chosen;
  for (const std::string& entry : candidates->second) {
    const std::string path = inFolder(folder, entry);
    if (!isRegular(path)) continue;
    if (entry == name) return path;
    if (chosen.empty()) chosen = path;
  }
  return chosen;
}

const ImageInfo* DiskFiles::read(const std::string& path, std::string* reason) {
  const auto known = byPath_.find(path);
  if (known != byPath_.end()) return known->second;
  const auto failed = unreadable_.find(path);
  if (failed != unreadable_.end()) {
    *reason = failed->second;
    return nullptr;
  }
  // One open and one fstat a file: its identity tells a file already read
  // under another path.
  int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || fstat(fd, &info) != 0) {
    *reason = strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    *reason = "not a regular file";
  } else {
    const auto key = std::make_pair(info.st_dev, info.st_ino);
    auto found = images_.find(key);
    if (found == images_.end()) {
      const ImageSource source = {&fd, readAt, static_cast<uint64_t>(info.st_size)};
      found = images_.emplace(key, std::make_unique<ImageInfo>(readImage(source, names))).first;
    }
    close(fd);
    byPath_.emplace(path, found->second.get());
    return found->second.get();
  }
  if (fd >= 0) close(fd);
  unreadable_.emplace(path, *reason);
  return nullptr;
}

std::vector<std::string> DiskFiles::takeFaults() {
  std::vector<std::string> faults;
  faults.swap(faults_);
  return faults;
}

}  // namespace check
