#pragma once

#include <memory>
#include <string>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

// Routes the default logger into memory for the lifetime of the object.
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256)) {
    previous_ = spdlog::default_logger();
    auto logger = std::make_shared<spdlog::logger>("capture-test", sink_);
    logger->set_pattern("%l|%v");  // e.g. "warning|Something failed"
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
  }
  ~LogCapture() { spdlog::set_default_logger(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Every line logged so far, joined with newlines.
  std::string text() const {
    std::string all;
    for (const auto& line : sink_->last_formatted()) all += line;
    std::erase(all, '\r');
    return all;
  }
  bool contains(const std::string& line) const { return text().find(line + '\n') != std::string::npos; }

 private:
  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};
