#include "ui/UiText.h"

#include <ctime>

namespace quorvane::host::uitext {

namespace {

constexpr std::string_view kEllipsis = "...";

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Removes the last UTF-8 sequence: its continuation bytes and the byte that leads them.
// A run of stray continuation bytes without a lead goes as one.
void popLastSequence(std::string& text) {
  while (!text.empty() && isContinuationByte(text.back())) {
    text.pop_back();
  }
  if (!text.empty()) {
    text.pop_back();
  }
}

}  // namespace

std::string fitTitle(const std::string& title, float maxWidth,
                     const std::function<float(std::string_view)>& measure) {
  if (measure(title) <= maxWidth) {
    return title;
  }
  std::string shortened = title;
  while (!shortened.empty() && measure(shortened + std::string(kEllipsis)) > maxWidth) {
    popLastSequence(shortened);
  }
  return shortened.append(kEllipsis);
}

const char* logLevelTag(uint32_t level) {
  static const char* const kTags[] = {"[TRACE]", "[DEBUG]", "[INFO] ", "[WARN] ", "[ERROR]", "[CRIT] "};
  return level < 6 ? kTags[level] : "[???]  ";
}

std::string formatLogTime(std::chrono::system_clock::time_point time) {
  const auto sinceEpoch = time.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &whole);
#else
  localtime_r(&whole, &local);
#endif
  char buffer[32];
  const size_t length = std::strftime(buffer, sizeof(buffer), "%H:%M:%S", &local);
  std::string text(buffer, length);
  const char fraction[] = {'.', static_cast<char>('0' + millis / 100),
                           static_cast<char>('0' + millis / 10 % 10), static_cast<char>('0' + millis % 10)};
  return text.append(fraction, sizeof(fraction));
}

std::string logLineText(const LogEntry& entry) {
  std::string text;
  text.reserve(entry.time.size() + 9 + entry.message.size());
  return text.append(entry.time)
      .append(" ")
      .append(logLevelTag(entry.level))
      .append(" ")
      .append(entry.message);
}

}  // namespace quorvane::host::uitext
