#pragma once

#include <memory>
#include <string>
#include <vector>

#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

// Routes the default logger into memory for the lifetime of the object.
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256)) {
    previous_ = spdlog::default_logger();
    auto logger = std::make_shared<spdlog::logger>("capture-test", sink_);
    logger->set_pattern("%l|%v");
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
  }
  ~LogCapture() { spdlog::set_default_logger(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Lines as "level|text", e.g. "warning|Something failed".
  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    for (auto& line : sink_->last_formatted()) {
      std::string text = line;
      while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
      out.push_back(text);
    }
    return out;
  }

  bool contains(const std::string& line) const {
    for (const auto& l : lines()) {
      if (l == line) return true;
    }
    return false;
  }

 private:
  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};
