// Restricts the process's DLL search to System32 before anything loads a DLL.
//
// People run the lister where the browser put it: a Downloads folder, into
// which any web page can drop a file named like a Windows DLL. Windows looks
// in a program's own folder first for every DLL that is not one of its
// KnownDLLs, so such a file would run inside the lister. The C runtime's
// constructors already load DLLs (the stack protector seeds its guard through
// the crypto API), so main is too late: this runs as a TLS callback, which the
// loader calls once the exe's imports are in and before the C runtime starts.
// It is linked into the exe itself, not into the lister library, where a
// linker would drop it as unreferenced.

#include <windows.h>

namespace {

void NTAPI restrict_dll_search(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_PROCESS_ATTACH)
    return;
  // Looked up, not imported: Windows 7 has it only with KB2533623, and the exe
  // still starts without it.
  const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (!kernel32)
    return;
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  // Through void (*)(), the one function type that converts to any other
  // without a warning.
  const auto set_default_dll_directories =
      reinterpret_cast<SetDefaultDllDirectoriesFunction>(
          reinterpret_cast<void (*)()>(
              GetProcAddress(kernel32, "SetDefaultDllDirectories")));
  if (set_default_dll_directories)
    set_default_dll_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

// The loader calls the callbacks listed between .CRT$XLA and .CRT$XLZ, in
// section-name order; the C runtime's own are at .CRT$XLC and later.
#if defined(_MSC_VER)
// The TLS directory, and this entry, are kept although nothing refers to them.
#ifdef _WIN64
#pragma comment(linker, "/INCLUDE:_tls_used")
#pragma comment(linker, "/INCLUDE:lcd_restrict_dll_search")
#else
#pragma comment(linker, "/INCLUDE:__tls_used")
#pragma comment(linker, "/INCLUDE:_lcd_restrict_dll_search")
#endif
#pragma const_seg(push, ".CRT$XLB")
extern "C" const PIMAGE_TLS_CALLBACK lcd_restrict_dll_search =
    restrict_dll_search;
#pragma const_seg(pop)
#else
extern "C" const PIMAGE_TLS_CALLBACK lcd_restrict_dll_search
    __attribute__((section(".CRT$XLB"), used)) = restrict_dll_search;
#endif
