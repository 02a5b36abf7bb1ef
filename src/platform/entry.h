// The program's entry on each system: `main` on POSIX; on Windows the entry
// point that the linker is told to use, since no C run-time runs before it
// and splits the command line. Either one runs the program's own function,
// named once in the program's main source:
//
//   ZYMRAN_ENTRY(runDriver)
#ifndef ZYMRAN_ENTRY_H
#define ZYMRAN_ENTRY_H

#include "platform/platform.h"

#if defined(_WIN32)
#define ZYMRAN_ENTRY(program) \
  extern "C" __attribute__((force_align_arg_pointer)) void zymranStart() { startProgram(program); }
#else
#define ZYMRAN_ENTRY(program) \
  int main(int argc, char** argv) { return runProgram(program, argc, argv); }
#endif

#endif
