#include "network/SignalingServer.h"

#include <exception>
#include <utility>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "network/SignalingServerImpl.h"
#include "protocol/Wire.h"

namespace quorvane::host {

SignalingServer::SignalingServer(uint16_t port, std::chrono::milliseconds handshakeTimeout)
    : impl(std::make_shared<SignalingServerImpl>(port, handshakeTimeout)) {}

SignalingServer::~SignalingServer() { impl->stop(); }

bool SignalingServer::start() { return impl->start(); }

void SignalingServer::stop() { impl->stop(); }

void SignalingServer::setWindowListProvider(SignalingServerRequestHandler::WindowListProvider callback) {
  impl->requests().setWindowListProvider(std::move(callback));
}

void SignalingServer::setStreamStartCallback(SignalingServerRequestHandler::StreamStartCallback callback) {
  impl->requests().setStreamStartCallback(std::move(callback));
}

void SignalingServer::setStreamStopCallback(SignalingServerRequestHandler::StreamStopCallback callback) {
  impl->requests().setStreamStopCallback(std::move(callback));
}

void SignalingServer::setClientConnectedCallback(
    SignalingServerRequestHandler::ClientConnectedCallback callback) {
  impl->requests().setClientConnectedCallback(std::move(callback));
}

void SignalingServer::setWindowResizeCallback(SignalingServerRequestHandler::WindowResizeCallback callback) {
  impl->requests().setWindowResizeCallback(std::move(callback));
}

void SignalingServer::setKeyframeRequestCallback(
    SignalingServerRequestHandler::KeyframeRequestCallback callback) {
  impl->requests().setKeyframeRequestCallback(std::move(callback));
}

void SignalingServer::sendStreamConfig(const protocol::StreamConfigMessage& message) {
  std::string text;
  try {
    text = protocol::dumpWire(nlohmann::json(message));
  } catch (const std::exception& e) {
    SPDLOG_ERROR("Cannot write stream_config: {}", e.what());
    return;
  }
  SPDLOG_INFO("Sending stream_config: streamId={}, {}x{}, codec={}, sps={}B, pps={}B", message.streamId,
              message.width, message.height, message.codec, message.sps.size(), message.pps.size());
  impl->broadcast(text);
}

std::size_t SignalingServer::getClientCount() const { return impl->getClientCount(); }

uint16_t SignalingServer::getPort() const { return impl->getPort(); }

void SignalingServer::poll() { impl->poll(); }

}  // namespace quorvane::host
