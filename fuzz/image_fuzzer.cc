// Runs the image reader and the import report on arbitrary bytes. The run
// ends normally or through a failed internal check; anything the sanitizers
// report is a finding.
#include <stdlib.h>

#include "fuzz_platform.h"
#include "image/image.h"

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
  return 0;
}
