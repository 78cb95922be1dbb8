#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

#include "protocol/WindowInfo.h"

namespace quorvane::host {

// Lists the top-level windows of the desktop that a user would want to stream, with title,
// process, class, geometry, state and icon. Every call rebuilds the list; only the converted icons
// of the latest list's windows are kept, and reused while a window keeps its icon. Called from the
// main thread and the signaling thread, also at the same time.
class WindowEnumerator {
 public:
  WindowEnumerator() = delete;

  // Enumerates, filters and describes the windows, sorted byte-wise by UTF-8 title.
  static std::vector<protocol::WindowInfo> enumerateWindows();

  // The capturability filter.
  static bool isValidWindow(HWND hwnd);
  // Describes one window; never fails (empty strings or zero geometry where a query fails). The
  // icon is the kept one when the window still shows the icon it was made from.
  static protocol::WindowInfo getWindowInfo(HWND hwnd);

  static std::wstring getWindowTitle(HWND hwnd);
  static std::wstring getWindowClassName(HWND hwnd);
  // File name of the owning process's executable; empty when it cannot be read.
  static std::wstring getProcessName(HWND hwnd);
  // The window icon as standard base64 (no line breaks) of a PNG; empty when there is none or on
  // any failure. Always converts.
  static std::string getWindowIconBase64(HWND hwnd);
  // How many windows have a converted icon kept.
  static size_t cachedIconCount();

  // UTF-16 to UTF-8; unpaired surrogates become U+FFFD so the result is always valid UTF-8.
  static std::string wideToUtf8(const std::wstring& text);

 private:
  static BOOL CALLBACK enumWindowsProc(HWND hwnd, LPARAM lParam);
};

}  // namespace quorvane::host
