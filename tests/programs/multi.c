/* A DLL importing from KERNEL32, USER32, GDI32, NTDLL and a non-system module. */
#include <windows.h>

__declspec(dllimport) int helper_add(int a, int b);
__declspec(dllimport) long __stdcall NtClose(void* handle);

__declspec(dllexport) int use_everything(HDC dc) {
  int n = (int)GetVersion() + (int)GetTickCount();
  n += MessageBoxA(NULL, "text", "caption", MB_OK);
  n += TextOutA(dc, 0, 0, "x", 1);
  n += (int)NtClose(NULL);
  return helper_add(n, 1);
}
