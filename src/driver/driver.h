// The program's entry: banner, usage, host check, opening the target and the
// exit status.
#ifndef ZYMRAN_DRIVER_H
#define ZYMRAN_DRIVER_H

void printBanner();
void printUsage();

// One run of the tool on its command line; returns the exit status.
int runDriver(int argc, char** argv);

#endif
