#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include <boost/asio/io_context.hpp>

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

// Runs the asynchronous operation that start(handler) begins until it ends, giving its error;
// after the limit closes the socket, lets the operation end, and gives nothing.
template <typename Socket, typename Start>
std::optional<boost::system::error_code> runWithin(boost::asio::io_context& io, Socket& socket, Start start,
                                                   std::chrono::milliseconds limit = kWait) {
  std::optional<boost::system::error_code> result;
  io.restart();
  start([&](const boost::system::error_code& error, auto&&...) { result = error; });
  io.run_for(limit);
  if (result) return result;
  boost::system::error_code ignored;
  socket.close(ignored);
  io.restart();
  io.run();
  return std::nullopt;
}

}  // namespace quorvane::test
