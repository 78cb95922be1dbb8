#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quorvane::test {

using namespace std::chrono_literals;

// Long enough for a loaded machine under a sanitizer; a passing test never waits it out.
constexpr std::chrono::milliseconds kWait = 5s;

// Polls the condition until it holds (true) or the limit has passed (false).
inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kWait) {
  for (const auto deadline = std::chrono::steady_clock::now() + limit; !condition();
       std::this_thread::sleep_for(2ms)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
  }
  return true;
}

}  // namespace quorvane::test
