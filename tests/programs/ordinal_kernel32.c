/* A program importing GetTickCount by ordinal from KERNEL32, after two imports
   by name. */
#include <windows.h>

int main(void) { return (int)(GetVersion() + GetCurrentProcessId() + GetTickCount()); }
