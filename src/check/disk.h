// Images on disk for zymran-check: each folder listed once and indexed by
// upper-cased name, each file read once however many images and hosts need
// it.
#ifndef ZYMRAN_CHECK_DISK_H
#define ZYMRAN_CHECK_DISK_H

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "check/model.h"

namespace check {

class DiskFiles : public Files {
 public:
  // A name in any case: the entry of that exact name if there is one, else
  // the first in byte order; only regular files count. A folder that can't
  // be listed holds nothing.
  std::string find(const std::string& folder, const std::string& name) override;
  const ImageInfo* read(const std::string& path, std::string* reason) override;

  // The folders that could not be listed since the last call, each once, in
  // the order met: "<folder>: can't be listed: <reason>".
  std::vector<std::string> takeFaults();

 private:
  struct Listing {
    // The entries of each upper-cased name, in byte order.
    std::unordered_map<std::string, std::vector<std::string>> byName;
  };
  const Listing& listing(const std::string& folder);

  std::map<std::string, Listing> listings_;
  std::map<std::pair<dev_t, ino_t>, std::unique_ptr<ImageInfo>> images_;
  std::unordered_map<std::string, const ImageInfo*> byPath_;
  std::unordered_map<std::string, std::string> unreadable_;  // path to the reason
  std::vector<std::string> faults_;
};

}  // namespace check

#endif
