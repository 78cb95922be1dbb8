// Asks a top-level window to close, the way a user's click on its close box does: finds the
// window by its class name (default "QuorvaneHostClass"), waiting up to a time-out (default
// 10 s) for it to appear, and posts WM_CLOSE to it; with "minimize" or "restore" it minimises
// or restores the window instead. Exit code 0 once that is done, 1 when no such window
// appeared. Usage: qh_close_window [CLASS [SECONDS [minimize|restore]]]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const char* className = argc > 1 ? argv[1] : "QuorvaneHostClass";
  const DWORD timeoutMs = argc > 2 ? static_cast<DWORD>(std::atof(argv[2]) * 1000) : 10000;
  const DWORD start = GetTickCount();
  for (;;) {
    if (HWND window = FindWindowA(className, nullptr)) {
      if (argc > 3) {
        ShowWindow(window, std::strcmp(argv[3], "minimize") == 0 ? SW_MINIMIZE : SW_RESTORE);
        return 0;
      }
      if (PostMessageW(window, WM_CLOSE, 0, 0)) return 0;
      std::fprintf(stderr, "qh_close_window: PostMessage failed: %lu\n", GetLastError());
      return 1;
    }
    if (GetTickCount() - start >= timeoutMs) break;
    Sleep(50);
  }
  std::fprintf(stderr, "qh_close_window: no window of class %s\n", className);
  return 1;
}
