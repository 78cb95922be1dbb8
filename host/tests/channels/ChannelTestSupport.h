#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "support/LogCapture.h"
#include "support/WaitFor.h"

namespace quorvane::test {

namespace asio = boost::asio;

// A blocking loopback client whose reads give up after a deadline.
class TestClient {
 public:
  bool connect(uint16_t port) {
    boost::system::error_code error;
    socket.connect({asio::ip::make_address_v4("127.0.0.1"), port}, error);
    if (!error) socket.set_option(asio::ip::tcp::no_delay(true), error);
    return !error;
  }
  // Exactly size bytes, or none when they did not all come in time.
  std::vector<uint8_t> read(size_t size) {
    std::vector<uint8_t> bytes(size);
    if (runWithin(io, socket, [&](auto done) { asio::async_read(socket, asio::buffer(bytes), done); }) !=
        boost::system::error_code()) {
      bytes.clear();
    }
    return bytes;
  }
  // True once the host has closed the connection.
  bool waitClosed() {
    for (uint8_t byte;;) {
      const auto result =
          runWithin(io, socket, [&](auto done) { socket.async_read_some(asio::buffer(&byte, 1), done); });
      if (!result || *result) return result.has_value();
    }
  }
  void write(const std::vector<uint8_t>& bytes) { asio::write(socket, asio::buffer(bytes)); }
  // Ends the connection with a reset instead of an orderly close.
  void reset() {
    boost::system::error_code ignored;
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
  }
  void setReceiveBuffer(int bytes) {
    socket.open(asio::ip::tcp::v4());
    socket.set_option(asio::socket_base::receive_buffer_size(bytes));
  }

 private:
  asio::io_context io;
  asio::ip::tcp::socket socket{io};
};

// What a server's callbacks handed over, from its own thread.
template <typename T>
class Recorded {
 public:
  void add(T item) {
    std::lock_guard lock(mutex);
    items.push_back(std::move(item));
  }
  std::vector<T> all() {
    std::lock_guard lock(mutex);
    return items;
  }
  size_t size() { return all().size(); }
  bool waitForSize(size_t n) {
    return waitFor([&] { return size() >= n; });
  }

 private:
  std::mutex mutex;
  std::vector<T> items;
};

// A length-prefixed message: little-endian 32-bit length, then the body.
inline std::vector<uint8_t> framed(const std::vector<uint8_t>& body) {
  const auto length = static_cast<uint32_t>(body.size());
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

inline uint32_t le(const std::vector<uint8_t>& bytes, size_t at, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}
inline uint16_t u16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>(le(bytes, at, 2));
}
inline uint32_t u32(const std::vector<uint8_t>& bytes, size_t at) { return le(bytes, at, 4); }

inline bool logWait(const LogCapture& log, const std::string& text) {
  return waitFor([&] { return log.contains(text); });
}

}  // namespace quorvane::test
