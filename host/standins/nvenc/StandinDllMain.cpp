// The entry point of the stand-in runtime DLLs. They carry their own static copy of the C++
// runtime, which sets aside an emergency pool for exceptions (about 71 KiB of heap) when the
// DLL loads and never gives it back. The host loads and frees a runtime for every encoder it
// makes, so without this each stream start would leave that pool behind. When the DLL is freed
// (not at process exit, where the heap goes anyway) the pool is returned: no call into the DLL
// can throw any more by then.
#include <windows.h>

// The C++ runtime's release of its emergency exception pool (its own names, hence reserved ones).
namespace __gnu_cxx {  // NOLINT(bugprone-reserved-identifier)
void __freeres();      // NOLINT(bugprone-reserved-identifier)
}  // namespace __gnu_cxx

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    __gnu_cxx::__freeres();
  }
  return TRUE;
}
