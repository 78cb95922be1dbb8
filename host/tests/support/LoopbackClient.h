#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include "support/WaitFor.h"

namespace quorvane::test {

namespace asio = boost::asio;

// A client of a loopback TCP port whose every wait ends within kWait; one thread at a time.
class LoopbackClient {
 public:
  using Error = boost::system::error_code;

  bool connect(uint16_t port) {
    Error error;
    socket_.connect({asio::ip::make_address_v4("127.0.0.1"), port}, error);
    if (!error) socket_.set_option(asio::ip::tcp::no_delay(true), error);
    return !error;
  }
  // Exactly size bytes, or none when they did not all come in time.
  std::vector<uint8_t> read(size_t size) {
    std::vector<uint8_t> bytes(size);
    const auto result = run([&](auto done) { asio::async_read(socket_, asio::buffer(bytes), done); });
    return result == Error() ? bytes : std::vector<uint8_t>();
  }
  // True once the host has closed the connection.
  bool waitClosed() {
    std::vector<uint8_t> rest;
    return run([&](auto done) { asio::async_read(socket_, asio::dynamic_buffer(rest), done); }).has_value();
  }
  // True when every byte was handed to the connection in time.
  bool write(const std::vector<uint8_t>& bytes) {
    return run([&](auto done) { asio::async_write(socket_, asio::buffer(bytes), done); }) == Error();
  }
  // Ends the connection with a reset instead of an orderly close.
  void reset() {
    Error ignored;
    socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    socket_.close(ignored);
  }
  // Before connect: a small window, so that a client that does not read stalls the host soon.
  void setReceiveBuffer(int bytes) {
    socket_.open(asio::ip::tcp::v4());
    socket_.set_option(asio::socket_base::receive_buffer_size(bytes));
  }
  asio::ip::tcp::socket& socket() { return socket_; }

  // The error of the operation that start(handler) begins, or nothing when the deadline ended it.
  template <typename Start>
  std::optional<Error> run(Start start) {
    std::optional<Error> result;
    io.restart();
    start([&](const Error& error, auto&&...) { result = error; });
    io.run_for(kWait);
    if (result) return result;
    reset();
    io.restart();
    io.run();
    return std::nullopt;
  }

 private:
  asio::io_context io;
  asio::ip::tcp::socket socket_{io};
};

}  // namespace quorvane::test
