// Runs the image reader and the import report on arbitrary bytes, and the
// export reader on the same bytes. The run ends normally or through a failed
// internal check; anything the sanitizers report is a finding.
#include <stdlib.h>

#include "fuzz_platform.h"
#include "host/deffile.h"
#include "image/exports.h"
#include "image/image.h"

namespace {

// As zymran-profile takes each name; every name must end inside the file.
bool takeName(void* context, const char* name, uint32_t, Note* fault) {
  const Bytes* file = static_cast<const Bytes*>(context);
  const uint8_t* end = reinterpret_cast<const uint8_t*>(name) + textLength(name);
  if (end < file->data || end >= file->data + file->size) abort();
  if (defNameForm(name) != kDefUnwritable) return true;
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

  const Bytes file = {data, static_cast<uint32_t>(size)};
  Note fault;
  if (!readExportNames(file, takeName, const_cast<Bytes*>(&file), &fault) && fault.used == 0) abort();
  return 0;
}
