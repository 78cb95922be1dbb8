#include "network/TcpInputServer.h"

#include <spdlog/spdlog.h>

#include "network/ClientRecordParser.h"

namespace quorvane::host {

namespace {

ChannelOptions inputChannelOptions() {
  ChannelOptions options{
      .listeningText = "TCP input server listening on port {}",
      .startFailedText = "Failed to start TCP input server: {}",
      .closingPreviousText = "Closing existing TCP input client connection",
      .connectedText = "TCP input client connected from {}:{}",
      .configureFailedText = "Failed to set up TCP input client connection: {}",
      .disconnectedText = "TCP input client disconnected: {}",
      .tooLargeText = "TCP input message too large: {} bytes",
      .readErrorText = "TCP input read error: {}",
      .sendFailedText = "TCP input send failed: {}",
      .ioErrorText = "TCP input IO error: {}",
      .stoppedText = "TCP input server stopped",
  };
  options.backlog = boost::asio::socket_base::max_listen_connections;
  options.resetOnClose = false;
  options.receiveBufferBytes = 16384;
  options.sendTimeout = std::chrono::milliseconds(0);  // never written
  options.maxMessageLength = TcpInputServer::kMaxClientMessage;
  return options;
}

}  // namespace

TcpInputServer::TcpInputServer(uint16_t port)
    : channel(port, inputChannelOptions(),
              [this](const uint8_t* body, size_t size) { handleCompleteMessage(body, size); }) {}

TcpInputServer::~TcpInputServer() { stop(); }

bool TcpInputServer::start() { return channel.start(); }

void TcpInputServer::stop() { channel.stop(); }

bool TcpInputServer::isClientConnected() const { return channel.isClientConnected(); }

void TcpInputServer::handleCompleteMessage(const uint8_t* body, size_t size) {
  const auto event = ClientRecordParser::parseInputMessage(body, size);
  if (!event) {
    SPDLOG_WARN("TCP input message too small: {} bytes", size);
    return;
  }
  onInputEvent(*event);
}

}  // namespace quorvane::host
