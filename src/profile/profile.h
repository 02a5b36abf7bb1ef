// zymran-profile: the stand-in host's profile read from the host's own DLLs,
// one module-definition file per DLL.
#ifndef ZYMRAN_PROFILE_H
#define ZYMRAN_PROFILE_H

// Exit statuses, the highest one met over all the DLLs.
const int kProfilesWritten = 0;
const int kDllDamaged = 1;   // not a PE image, or export data outside the file
const int kFileFailed = 2;   // the usage line, or a file that can't be read or written

// One run on its command line: `zymran-profile <folder> <DLL>...`.
int runProfile(int argc, char** argv);

#endif
