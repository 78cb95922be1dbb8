#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <spdlog/sinks/ringbuffer_sink.h>
#include <spdlog/spdlog.h>

namespace quorvane::test {

using namespace std::chrono_literals;

// Generous, so that a loaded CI machine never trips it; a passing test never waits it out.
constexpr auto kWait = 20s;

inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = kWait) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Routes the default logger into memory, so that a test can wait for a line.
class LogCapture {
 public:
  LogCapture() : sink(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(4096)) {
    auto logger = std::make_shared<spdlog::logger>("test", sink);
    logger->set_level(spdlog::level::trace);
    logger->set_pattern("%v");
    spdlog::set_default_logger(logger);
  }
  bool contains(const std::string& text) const {
    for (const auto& line : sink->last_formatted()) {
      if (line.find(text) != std::string::npos) return true;
    }
    return false;
  }
  bool waitFor(const std::string& text) const {
    return quorvane::test::waitFor([&] { return contains(text); });
  }
  int count(const std::string& text) const {
    int n = 0;
    for (const auto& line : sink->last_formatted()) n += line.find(text) != std::string::npos;
    return n;
  }

 private:
  std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink;
};

// A blocking loopback client whose reads give up after a deadline.
class TestClient {
 public:
  bool connect(uint16_t port) {
    boost::system::error_code error;
    socket.connect({boost::asio::ip::make_address_v4("127.0.0.1"), port}, error);
    if (!error) socket.set_option(boost::asio::ip::tcp::no_delay(true), error);
    return !error;
  }

  bool read(void* data, size_t size) {
    boost::system::error_code result;
    const bool done = runUntilDone(
        [&](auto onDone) { boost::asio::async_read(socket, boost::asio::buffer(data, size), onDone); },
        result);
    return done && !result;
  }

  std::vector<uint8_t> read(size_t size) {
    std::vector<uint8_t> bytes(size);
    if (!read(bytes.data(), size)) bytes.clear();
    return bytes;
  }

  // True once the host has closed the connection (a read ends with an error).
  bool waitClosed() {
    uint8_t byte;
    for (;;) {
      boost::system::error_code result;
      if (!runUntilDone([&](auto onDone) { socket.async_read_some(boost::asio::buffer(&byte, 1), onDone); },
                        result)) {
        return false;
      }
      if (result) return true;
    }
  }

  void write(const std::vector<uint8_t>& bytes) { boost::asio::write(socket, boost::asio::buffer(bytes)); }

  // Closes with a reset instead of an orderly close.
  void reset() {
    boost::system::error_code ignored;
    socket.set_option(boost::asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
  }

  void setReceiveBuffer(int bytes) {
    socket.open(boost::asio::ip::tcp::v4());
    socket.set_option(boost::asio::socket_base::receive_buffer_size(bytes));
  }

  boost::asio::ip::tcp::socket& raw() { return socket; }

 private:
  // Starts one asynchronous operation and runs it to its end, or cancels it after kWait.
  template <typename Start>
  bool runUntilDone(Start start, boost::system::error_code& result) {
    bool done = false;
    start([&](const boost::system::error_code& error, size_t) {
      result = error;
      done = true;
    });
    io.restart();
    io.run_for(kWait);
    if (done) return true;
    boost::system::error_code ignored;
    socket.cancel(ignored);
    io.restart();
    io.run();
    return false;
  }

  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket{io};
};

// A length-prefixed message: little-endian 32-bit length, then the body.
inline std::vector<uint8_t> framed(const std::vector<uint8_t>& body) {
  const uint32_t length = static_cast<uint32_t>(body.size());
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &length, 4);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline uint16_t u16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

inline uint32_t u32(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint32_t>(bytes[at]) | static_cast<uint32_t>(bytes[at + 1]) << 8 |
         static_cast<uint32_t>(bytes[at + 2]) << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

}  // namespace quorvane::test
