// Runs the image reader and the import report on arbitrary bytes, and the
// export reader on the same bytes. The run ends normally or through a failed
// internal check; anything the sanitizers report is a finding.
#include <stdlib.h>

#include "fuzz_platform.h"
#include "host/deffile.h"
#include "pe/exports.h"
#include "image/image.h"

namespace {

// As zymran-profile takes each export: every name must be one it can write
// or refuse.
bool takeExport(void*, const Export& entry, Note* fault) {
  if (entry.name == nullptr || defNameForm(entry.name) != kDefUnwritable) return true;
  fault->add("unwritable");
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static jmp_buf target;
  fuzzOpenImage(data, size);
  fuzzSetCheckTarget(&target);
  if (setjmp(target) == 0) {
    File* file = fileOpen("image");
    const int status = checkImage(file);
    fileClose(file);
    if (status != 0 && status != 1) abort();
  }
  // After a normal end every buffer has been released; after a failed check
  // the run's buffers are freed here.
  fuzzReleaseAll();
  fuzzSetCheckTarget(nullptr);

  // The export reader over the same bytes, as the loader maps them.
  {
    const Bytes file = {data, static_cast<uint32_t>(size)};
    MappedImage image;
    Note fault;
    if (mapImage(bytesSource(&file), &image, &fault)) {
      if (!readExports(&image, takeExport, nullptr, &fault) && fault.used == 0) abort();
    } else if (fault.used == 0) {
      abort();
    }
  }
  fuzzReleaseAll();
  return 0;
}
