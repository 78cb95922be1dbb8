#include "network/WebSocketSession.h"

#include <utility>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <spdlog/spdlog.h>

#include "network/SignalingServerImpl.h"

namespace quorvane::host {

namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace net = boost::asio;

WebSocketSession::WebSocketSession(net::ip::tcp::socket&& socket,
                                   const std::shared_ptr<SignalingServerImpl>& server,
                                   std::chrono::milliseconds handshakeTimeout)
    : ws(std::move(socket)), server(server), handshakeTimeout(handshakeTimeout) {
  beast::error_code ec;
  const auto endpoint = beast::get_lowest_layer(ws).socket().remote_endpoint(ec);
  remoteAddress = ec ? std::string("unknown") : endpoint.address().to_string();
}

void WebSocketSession::run() {
  net::dispatch(ws.get_executor(),
                beast::bind_front_handler(&WebSocketSession::startHandshake, shared_from_this()));
}

void WebSocketSession::startHandshake() {
  if (closed) {
    return;
  }
  websocket::stream_base::timeout limits{};
  limits.handshake_timeout = handshakeTimeout;
  limits.idle_timeout = websocket::stream_base::none();
  limits.keep_alive_pings = false;
  ws.set_option(limits);
  ws.async_accept(beast::bind_front_handler(&WebSocketSession::onAccept, shared_from_this()));
}

void WebSocketSession::onAccept(beast::error_code ec) {
  if (closed) {
    return;
  }
  if (ec) {
    SPDLOG_ERROR("WebSocket accept failed: {}", ec.message());
    drop();
    return;
  }
  handshakeDone = true;
  SPDLOG_INFO("Client connected");
  doRead();
  doWrite();  // whatever was sent while the handshake ran
}

void WebSocketSession::doRead() {
  ws.async_read(buffer, beast::bind_front_handler(&WebSocketSession::onRead, shared_from_this()));
}

void WebSocketSession::onRead(beast::error_code ec, std::size_t /*bytes*/) {
  if (closed) {
    return;
  }
  if (ec) {
    if (ec == websocket::error::closed) {
      SPDLOG_INFO("Client disconnected");
    } else {
      SPDLOG_ERROR("WebSocket read failed: {}", ec.message());
    }
    drop();
    return;
  }
  const std::string text = beast::buffers_to_string(buffer.data());
  buffer.consume(buffer.size());
  if (auto owner = server.lock()) {
    owner->handleMessage(this, text);
  }
  doRead();
}

void WebSocketSession::send(const std::string& text) {
  auto copy = std::make_shared<std::string>(text);
  net::post(ws.get_executor(), [self = shared_from_this(), copy = std::move(copy)] { self->enqueue(copy); });
}

void WebSocketSession::enqueue(const std::shared_ptr<std::string>& text) {
  if (closed) {
    return;
  }
  if (!writeQueue.empty() && queuedBytes + text->size() > kMaxQueuedBytes) {
    SPDLOG_ERROR("WebSocket write queue of client at {} exceeds {} bytes; closing the connection",
                 remoteAddress, kMaxQueuedBytes);
    drop();
    return;
  }
  writeQueue.push_back(text);
  queuedBytes += text->size();
  if (writeQueue.size() == 1) {
    doWrite();
  }
}

void WebSocketSession::doWrite() {
  // Nothing goes out before the handshake's response has been written.
  if (!handshakeDone || closed || writeQueue.empty()) {
    return;
  }
  // The handler keeps the text alive, so closing may drop the queue at any time.
  auto text = writeQueue.front();
  ws.text(true);
  ws.async_write(net::buffer(*text),
                 [self = shared_from_this(), text](beast::error_code ec, std::size_t bytes) {
                   self->onWrite(ec, bytes);
                 });
}

void WebSocketSession::onWrite(beast::error_code ec, std::size_t /*bytes*/) {
  if (closed) {
    return;
  }
  if (ec) {
    SPDLOG_ERROR("WebSocket write failed: {}", ec.message());
    drop();
    return;
  }
  queuedBytes -= writeQueue.front()->size();
  writeQueue.pop_front();
  doWrite();
}

void WebSocketSession::close() {
  net::post(ws.get_executor(), [self = shared_from_this()] { self->closeSocket(); });
}

void WebSocketSession::closeSocket() {
  if (closed) {
    return;
  }
  closed = true;
  writeQueue.clear();
  queuedBytes = 0;
  beast::error_code ignored;
  auto& socket = beast::get_lowest_layer(ws).socket();
  socket.shutdown(net::ip::tcp::socket::shutdown_both, ignored);
  socket.close(ignored);
}

void WebSocketSession::drop() {
  closeSocket();
  if (auto owner = server.lock()) {
    owner->removeSession(this);
  }
}

}  // namespace quorvane::host
