#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorvane::host {

// Keeps the base64 PNG of each listed window's icon, so that listing the windows again converts
// an icon only when the window shows a different one. One entry per window, remembered together
// with the icon handle it was made from and the window's process id (for a window without window
// or class icon, whose picture comes from its executable). Used from every thread that lists
// windows (the main thread and the signaling thread); each member takes the lock, and the
// conversion itself runs outside it.
class WindowIconCache {
 public:
  struct Key {
    HWND window = nullptr;
    HICON icon = nullptr;  // the window or class icon; none for an executable's icon
    DWORD processId = 0;
  };
  // Converts the icon; nothing when the conversion failed (which is not kept, so that the next
  // list tries again), an empty text when there is no icon at all.
  using Convert = std::function<std::optional<std::string>()>;

  // The text kept for the key, or else what `convert` gives (kept unless it failed).
  std::string iconBase64(const Key& key, const Convert& convert);
  // Forgets every window that is not in `windows` (the latest list).
  void retainOnly(const std::vector<HWND>& windows);
  size_t size() const;

 private:
  struct Entry {
    HICON icon = nullptr;
    DWORD processId = 0;
    std::string base64;
  };

  mutable std::mutex mutex_;
  std::unordered_map<HWND, Entry> entries_;
};

}  // namespace quorvane::host
