/* A program importing from the three emulated modules: some functions that
   the test host exports, some that it lacks. */
#include <windows.h>

__declspec(dllimport) long __stdcall NtClose(void* handle);
__declspec(dllimport) long __stdcall NtYieldExecution(void);

int main(void) {
  DWORD v = GetVersion();
  HANDLE heap = GetProcessHeap();
  void* p = HeapAlloc(heap, 0, 16);
  MessageBoxA(NULL, "x", "y", MB_OK);
  MessageBeep(MB_OK);
  NtClose(NULL);
  NtYieldExecution();
  return (int)(v + GetTickCount()) + (p != NULL);
}
