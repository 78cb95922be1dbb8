#pragma once

#include <optional>
#include <string>

#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "support/LoopbackClient.h"

namespace quorvane::test {

// A WebSocket client of a loopback port whose every wait has a deadline.
class WebSocketClient : public LoopbackClient {
 public:
  explicit WebSocketClient(uint16_t port) : port(port) {}

  bool connectTcp() { return LoopbackClient::connect(port); }  // no upgrade yet
  bool handshake() {
    return run([&](auto done) { ws.async_handshake("127.0.0.1", "/", done); }) == Error();
  }
  bool connect() { return connectTcp() && handshake(); }
  bool send(const std::string& text, bool binary = false) {
    ws.binary(binary);
    return run([&](auto done) { ws.async_write(asio::buffer(text), done); }) == Error();
  }
  // The next message, or nothing when none came in time or the connection ended.
  std::optional<std::string> read() {
    boost::beast::flat_buffer buffer;
    lastError = run([&](auto done) { ws.async_read(buffer, done); }).value_or(asio::error::timed_out);
    if (lastError) return std::nullopt;
    lastWasText = ws.got_text();
    return boost::beast::buffers_to_string(buffer.data());
  }
  std::string request(const std::string& text) {
    return send(text) ? read().value_or("<nothing>") : "<unsent>";
  }
  void closeCleanly() {
    run([&](auto done) { ws.async_close(boost::beast::websocket::close_code::normal, done); });
  }

  Error lastError;
  // Whether the message that read() returned last came as a text message (not binary).
  bool lastWasText = false;

 private:
  uint16_t port;
  boost::beast::websocket::stream<asio::ip::tcp::socket&> ws{socket()};
};

}  // namespace quorvane::test
