// Planted beside the lister under the name of a DLL that its process loads:
// were it ever loaded, the lister's output would say so.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  static DWORD written;  // not on the stack: no stack protector to set up
  if (reason == DLL_PROCESS_ATTACH)
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "PLANTED DLL LOADED\r\n", 20,
              &written, nullptr);
  return TRUE;
}
