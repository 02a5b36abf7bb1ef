/* A DLL importing by ordinal from a non-system module. */
#include <windows.h>

__declspec(dllimport) int helper_add(int a, int b);
__declspec(dllimport) int helper_twice(int a);

__declspec(dllexport) int use_helper(void) { return helper_twice(helper_add((int)GetVersion(), 2)); }
