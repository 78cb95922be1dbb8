#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace quorvane::test {

using namespace std::chrono_literals;

// Generous, so that a loaded CI machine never trips it; a passing test never waits it out.
constexpr std::chrono::milliseconds kWait = 30s;

// Polls the condition until it holds (true) or the limit has passed (false).
inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kWait) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

}  // namespace quorvane::test
