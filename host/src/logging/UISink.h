#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include <spdlog/details/os.h>
#include <spdlog/sinks/base_sink.h>

namespace quorvane::host {

// Hands every formatted log record to the control window's log view.
template <typename Mutex>
class UISink : public spdlog::sinks::base_sink<Mutex> {
 public:
  // Receives the level number (0 trace ... 5 critical) and the formatted line
  // without its final end-of-line sequence.
  using Callback = std::function<void(int level, const std::string& text)>;

  void setCallback(Callback cb) {
    std::lock_guard<Mutex> lock(this->mutex_);
    callback = std::move(cb);
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (!callback) {
      return;
    }
    spdlog::memory_buf_t formatted;
    this->formatter_->format(msg, formatted);
    std::string text(formatted.data(), formatted.size());
    // The formatter appends the platform's end-of-line sequence ("\r\n" on Windows);
    // remove exactly that one sequence, so a line feed inside the message survives.
    constexpr std::string_view eol = spdlog::details::os::default_eol;
    if (text.size() >= eol.size() && std::string_view(text).substr(text.size() - eol.size()) == eol) {
      text.resize(text.size() - eol.size());
    }
    callback(static_cast<int>(msg.level), text);
  }

  void flush_() override {}

 private:
  Callback callback;
};

}  // namespace quorvane::host
