#pragma once

#include <cstdint>
#include <string>

namespace quorvane::protocol {

// One capturable top-level window, as listed to the client and in the control window.
struct WindowInfo {
  uint32_t id = 0;          // the window handle's value cut to 32 bits
  std::string title;        // UTF-8
  std::string processName;  // executable file name, UTF-8; empty when unknown
  std::string className;    // UTF-8, at most 255 characters
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool isMinimized = false;
  bool isMaximized = false;
  bool isVisible = false;
  std::string iconBase64;  // base64 PNG of the window icon; empty when there is none
};

}  // namespace quorvane::protocol
