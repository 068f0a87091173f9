// Stands in for the system device enumerator's DLL: asked for the enumerator,
// it ends the process at once. TerminateProcess runs no clean-up, so what the
// lister left in the C runtime's buffers never reaches its output.
#include <windows.h>

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, void**) {
  TerminateProcess(GetCurrentProcess(), 0);
  return E_FAIL;
}
