#pragma once

#include <windows.h>

#include <memory>
#include <mutex>

namespace quorvane::host {
template <typename Mutex>
class UISink;
}

// The class name of the control window.
inline constexpr wchar_t kWindowClass[] = L"QuorvaneHostClass";

// What the entry's start-up has created so far, taken down in reverse order on every way
// out while logging still works: the log view's sink link, the UI, the application, the
// Direct3D objects, the window and its class, and COM. Main thread only.
struct EntryResources {
  HINSTANCE instance = nullptr;
  bool com = false;
  bool windowClass = false;
  HWND window = nullptr;
  std::shared_ptr<quorvane::host::UISink<std::mutex>> uiSink;

  // Detaches the log view first, so that no logging thread reaches the UI once it goes;
  // shuts the application down only when it ran (initialised and went through the loop).
  void takeDown(bool applicationRan);
};
