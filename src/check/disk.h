// Images on disk for zymran-check: each folder listed once, each file read
// once however many images and hosts need it.
#ifndef ZYMRAN_CHECK_DISK_H
#define ZYMRAN_CHECK_DISK_H

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "check/model.h"

namespace check {

class DiskFiles : public Files {
 public:
  // A name in any case: the entry of that exact name if there is one, else
  // the first in byte order.
  std::string find(const std::string& folder, const std::string& name) override;
  const ImageInfo* read(const std::string& path) override;

 private:
  const std::vector<std::string>& listing(const std::string& folder);

  std::map<std::string, std::vector<std::string>> listings_;
  std::map<std::pair<dev_t, ino_t>, std::unique_ptr<ImageInfo>> images_;
};

}  // namespace check

#endif
