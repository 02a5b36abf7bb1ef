/* A non-system module that the other programs import from. */
__declspec(dllexport) int helper_add(int a, int b) { return a + b; }
__declspec(dllexport) int helper_twice(int a) { return 2 * a; }
