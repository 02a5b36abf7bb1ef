/* Stand-ins for the host's own KERNEL32, NTDLL and USER32: each DLL is built
   from this file and exports what its .def names. */
int Orvanel32(void) { return 1; }
int GetVersion(void) { return 4; }
void ExitProcess(unsigned code) { (void)code; }
int GetStartupInfoA(void) { return 0; }
int HiddenInHost(void) { return 0; }
int NtClose(void) { return 0; }
int RtlAllocateHeap(void) { return 0; }
int MessageBoxA(void) { return 0; }
