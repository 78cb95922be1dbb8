#pragma once

#include <cstdint>
#include <string>

namespace quorvane::host {

// One line of the control window's log view.
struct LogEntry {
  uint32_t level = 0;  // 0 trace, 1 debug, 2 info, 3 warn, 4 error, 5 critical
  std::string time;    // local time of arrival, "HH:MM:SS.mmm"
  std::string message;
};

}  // namespace quorvane::host
