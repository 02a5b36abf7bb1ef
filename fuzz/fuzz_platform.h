// Hooks of the fuzzers' platform layer (see fuzz_platform.cc).
#ifndef ZYMRAN_FUZZ_PLATFORM_H
#define ZYMRAN_FUZZ_PLATFORM_H

#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

// The next fileOpen yields these bytes; output is discarded.
void fuzzOpenImage(const uint8_t* data, size_t size);
// Where a failed internal check returns to.
void fuzzSetCheckTarget(jmp_buf* target);
// Frees every block that is still allocated.
void fuzzReleaseAll();

#endif
