#pragma once

#include <cstdint>
#include <string>

namespace quorvane::host {

// One row of the dashboard's window list.
struct WindowListEntry {
  uint32_t windowId = 0;
  std::string title;        // UTF-8
  std::string processName;  // UTF-8
  bool streaming = false;   // a capture of this window was started from the list and not stopped
  uint8_t streamId = 0;     // that capture's stream id; 0 when not streaming
};

}  // namespace quorvane::host
