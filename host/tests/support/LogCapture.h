#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::test {

// Makes spdlog's default logger one that keeps every message in memory, for the life of
// the object.
class LogCapture {
 public:
  LogCapture() : sink_(std::make_shared<Sink>()), previous_(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
  }
  ~LogCapture() { spdlog::set_default_logger(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // A message containing text, at the given level unless it is off.
  bool contains(const std::string& text, spdlog::level::level_enum level = spdlog::level::off) const {
    std::lock_guard lock(sink_->linesMutex);
    for (const auto& [lineLevel, line] : sink_->lines) {
      if (line.find(text) != std::string::npos && (level == spdlog::level::off || level == lineLevel)) {
        return true;
      }
    }
    return false;
  }
  // A message that is exactly text, at that level.
  bool hasLine(spdlog::level::level_enum level, const std::string& text) const {
    std::lock_guard lock(sink_->linesMutex);
    for (const auto& [lineLevel, line] : sink_->lines) {
      if (lineLevel == level && line == text) {
        return true;
      }
    }
    return false;
  }
  size_t count(const std::string& text) const {
    std::lock_guard lock(sink_->linesMutex);
    size_t n = 0;
    for (const auto& entry : sink_->lines) {
      n += entry.second.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
  }
  size_t lines() const {
    std::lock_guard lock(sink_->linesMutex);
    return sink_->lines.size();
  }
  // Every message so far as "level|message" lines, e.g. "warning|Something failed\n".
  std::string text() const {
    std::lock_guard lock(sink_->linesMutex);
    std::string all;
    for (const auto& [level, line] : sink_->lines) {
      const auto name = spdlog::level::to_string_view(level);
      all.append(name.data(), name.size()).append("|").append(line).append("\n");
    }
    return all;
  }
  // The messages from the first one equal to `first` to the next one equal to `last`, both
  // included; with a level, messages at any other level are marked "[wrong level] ".
  std::vector<std::string> block(const std::string& first, const std::string& last,
                                 spdlog::level::level_enum level = spdlog::level::off) const {
    std::lock_guard lock(sink_->linesMutex);
    std::vector<std::string> result;
    for (const auto& [lineLevel, line] : sink_->lines) {
      if (result.empty() && line != first) continue;
      result.push_back((level != spdlog::level::off && lineLevel != level ? "[wrong level] " : "") + line);
      if (line == last) break;
    }
    return result;
  }
  void clear() {
    std::lock_guard lock(sink_->linesMutex);
    sink_->lines.clear();
  }

 private:
  struct Sink : spdlog::sinks::base_sink<std::mutex> {
    mutable std::mutex linesMutex;
    std::vector<std::pair<spdlog::level::level_enum, std::string>> lines;

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      std::lock_guard lock(linesMutex);
      lines.emplace_back(msg.level, std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}
  };

  std::shared_ptr<Sink> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace quorvane::test
