#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace quorvane::test {

// Makes spdlog's default logger one that keeps every message in memory, for the life of the object.
class LogCapture {
 public:
  using Level = spdlog::level::level_enum;

  LogCapture() : sink_(std::make_shared<Sink>()), previous_(spdlog::default_logger()) {
    auto logger = std::make_shared<spdlog::logger>("capture", sink_);
    logger->set_level(spdlog::level::trace);
    spdlog::set_default_logger(logger);
  }
  ~LogCapture() { spdlog::set_default_logger(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Messages containing text.
  size_t count(const std::string& text) const {
    const auto all = lines();
    return std::count_if(all.begin(), all.end(),
                         [&](const auto& l) { return l.second.find(text) != l.second.npos; });
  }
  bool contains(const std::string& text) const { return count(text) > 0; }
  // Messages at level or above.
  size_t countFrom(Level level) const {
    const auto all = lines();
    return std::count_if(all.begin(), all.end(), [&](const auto& l) { return l.first >= level; });
  }
  // A message that is exactly text, at that level.
  bool hasLine(Level level, const std::string& text) const {
    const auto all = lines();
    return std::find(all.begin(), all.end(), std::pair(level, text)) != all.end();
  }
  // The messages from the first one equal to `first` to the next one equal to `last`, both
  // included; with a level, messages at any other level are marked "[wrong level] ".
  std::vector<std::string> block(const std::string& first, const std::string& last,
                                 Level level = spdlog::level::off) const {
    std::vector<std::string> result;
    for (const auto& [lineLevel, line] : lines()) {
      if (result.empty() && line != first) continue;
      result.push_back((level != spdlog::level::off && lineLevel != level ? "[wrong level] " : "") + line);
      if (line == last) break;
    }
    return result;
  }
  void clear() { sink_->take(true); }

 private:
  // Any thread may log into it; its lines are guarded by the base's mutex.
  struct Sink : spdlog::sinks::base_sink<std::mutex> {
    std::vector<std::pair<Level, std::string>> lines;
    // A copy of the lines so far, which are then dropped when `clear` is set.
    std::vector<std::pair<Level, std::string>> take(bool clear = false) {
      std::lock_guard lock(mutex_);
      return clear ? std::exchange(lines, {}) : lines;
    }

   protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
      lines.emplace_back(msg.level, std::string(msg.payload.data(), msg.payload.size()));
    }
    void flush_() override {}
  };

  std::vector<std::pair<Level, std::string>> lines() const { return sink_->take(); }

  std::shared_ptr<Sink> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace quorvane::test
