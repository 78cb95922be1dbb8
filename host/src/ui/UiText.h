#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "ui/LogEntry.h"

// Text rules of the control window that do not depend on drawing.
namespace quorvane::host::uitext {

// The title shortened to fit maxWidth as measured by `measure`: whole UTF-8 sequences are
// taken off its end until the rest followed by "..." fits, then "..." is appended. A
// title that fits is returned whole.
std::string fitTitle(const std::string& title, float maxWidth,
                     const std::function<float(std::string_view)>& measure);

// The seven-character tag of a log level, e.g. "[INFO] "; "[???]  " outside 0 to 5.
const char* logLevelTag(uint32_t level);

// "HH:MM:SS.mmm" in local time.
std::string formatLogTime(std::chrono::system_clock::time_point time);

// The form a log line takes on the clipboard: time, tag and message, single-spaced.
std::string logLineText(const LogEntry& entry);

}  // namespace quorvane::host::uitext
