#pragma once

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

#include <cstddef>
#include <memory>
#include <string>

namespace quorvane::host::test {

// Makes a logger that keeps its last lines in memory the default logger for the
// object's lifetime.
class LogCapture {
 public:
  LogCapture() : previous(spdlog::default_logger()) {
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("test", sink));
  }
  ~LogCapture() { spdlog::set_default_logger(previous); }

  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Lines kept so far that contain text.
  size_t count(const std::string& text) const {
    size_t n = 0;
    for (const auto& line : sink->last_formatted()) {
      if (line.find(text) != std::string::npos) ++n;
    }
    return n;
  }

  size_t lines() const { return sink->last_formatted().size(); }

 private:
  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink =
      std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256);
  std::shared_ptr<spdlog::logger> previous;
};

}  // namespace quorvane::host::test
