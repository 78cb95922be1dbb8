#include "network/SignalingServerRequestHandler.h"

#include <exception>
#include <utility>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "protocol/ErrorMessage.h"
#include "protocol/MessageType.h"
#include "protocol/StreamStartedMessage.h"
#include "protocol/WelcomeMessage.h"
#include "protocol/WindowListMessage.h"
#include "protocol/Wire.h"

namespace quorvane::host {

using nlohmann::json;
using protocol::MessageType;

namespace {

// Constants of this host, whatever the settings say.
constexpr const char* kHostName = "Quorvane Host";
constexpr const char* kHostVersion = "1.0.5";
constexpr uint32_t kVideoPort = 9944;
constexpr uint32_t kAudioPort = 9945;
constexpr uint32_t kInputPort = 9946;
constexpr uint32_t kStreamStartFailed = 1001;

}  // namespace

void SignalingServerRequestHandler::setWindowListProvider(WindowListProvider callback) {
  std::lock_guard lock(callbacksMutex);
  windowListProvider = std::move(callback);
}

void SignalingServerRequestHandler::setStreamStartCallback(StreamStartCallback callback) {
  std::lock_guard lock(callbacksMutex);
  onStreamStart = std::move(callback);
}

void SignalingServerRequestHandler::setStreamStopCallback(StreamStopCallback callback) {
  std::lock_guard lock(callbacksMutex);
  onStreamStop = std::move(callback);
}

void SignalingServerRequestHandler::setClientConnectedCallback(ClientConnectedCallback callback) {
  std::lock_guard lock(callbacksMutex);
  onClientConnected = std::move(callback);
}

void SignalingServerRequestHandler::setWindowResizeCallback(WindowResizeCallback callback) {
  std::lock_guard lock(callbacksMutex);
  onWindowResize = std::move(callback);
}

void SignalingServerRequestHandler::setKeyframeRequestCallback(KeyframeRequestCallback callback) {
  std::lock_guard lock(callbacksMutex);
  onKeyframeRequest = std::move(callback);
}

std::optional<std::string> SignalingServerRequestHandler::handle(const std::string& text,
                                                                 const SenderLookup& findSender,
                                                                 ClientKey client) {
  const json message = json::parse(text);
  const auto type = protocol::parseMessageType(message);
  if (!type) {
    SPDLOG_WARN("Unknown message type: '{}'", message.value("type", std::string("missing")));
    return std::nullopt;
  }
  const auto sender = findSender();
  if (!sender) {
    return std::nullopt;
  }

  switch (*type) {
    case MessageType::Hello: {
      SPDLOG_INFO("Received hello from client at {}", *sender);
      if (auto callback = copyOf(onClientConnected)) {
        callback(*sender);
      }
      protocol::WelcomeMessage welcome;
      welcome.type = "welcome";
      welcome.hostName = kHostName;
      welcome.hostVersion = kHostVersion;
      welcome.videoPort = kVideoPort;
      welcome.audioPort = kAudioPort;
      welcome.inputPort = kInputPort;
      welcome.protocol = "tcp";
      welcome.supportedCodecs = {"h264"};
      welcome.requiresAuth = false;
      std::string reply = protocol::dumpWire(json(welcome));
      SPDLOG_INFO("Sending welcome message: {}", reply);
      return reply;
    }
    case MessageType::WindowListRequest: {
      protocol::WindowListMessage list;
      list.type = "window_list";
      if (auto provider = copyOf(windowListProvider)) {
        list.windows = provider();
      }
      return protocol::dumpWire(json(list));
    }
    case MessageType::StreamStart: {
      const uint32_t windowId = protocol::readUint32Key(message, "windowId");
      const uint8_t streamId = nextStreamId.fetch_add(1);
      SPDLOG_INFO("Stream subscribe request for window {:x}", windowId);
      auto callback = copyOf(onStreamStart);
      if (callback && startStream(callback, windowId, streamId, client)) {
        protocol::StreamStartedMessage started;
        started.type = "stream_started";
        started.windowId = windowId;
        started.streamId = streamId;
        // The size is not known yet; the client takes it from the stream_config that
        // comes with the first keyframe.
        started.width = 0;
        started.height = 0;
        started.codec = "h264";
        return protocol::dumpWire(json(started));
      }
      protocol::ErrorMessage error;
      error.type = "error";
      error.code = kStreamStartFailed;
      error.message = "Failed to start stream";
      return protocol::dumpWire(json(error));
    }
    case MessageType::StreamStop: {
      const int32_t streamId = protocol::readInt32Key(message, "streamId");
      SPDLOG_INFO("Stream stop request for stream {}", streamId);
      // Whoever asks, the stream is stopped, so no client still owns it.
      owners.stopped(static_cast<uint8_t>(streamId));
      if (auto callback = copyOf(onStreamStop)) {
        callback(static_cast<uint8_t>(streamId));
      }
      return protocol::dumpWire(json{{"type", "stream_stopped"}, {"streamId", streamId}});
    }
    case MessageType::KeyframeRequest: {
      const int32_t streamId = protocol::readInt32Key(message, "streamId");
      if (auto callback = copyOf(onKeyframeRequest)) {
        callback(static_cast<uint8_t>(streamId));
      }
      return std::nullopt;
    }
    case MessageType::WindowResize: {
      const int32_t streamId = protocol::readInt32Key(message, "streamId");
      const uint32_t windowId = protocol::readUint32Key(message, "windowId");
      const uint32_t width = protocol::readUint32Key(message, "width");
      const uint32_t height = protocol::readUint32Key(message, "height");
      SPDLOG_INFO("Window resize request: stream={}, window={:x}, size={}x{}", streamId, windowId, width,
                  height);
      bool success = false;
      if (auto callback = copyOf(onWindowResize)) {
        success = callback(windowId, width, height);
      }
      return protocol::dumpWire(json{{"type", "window_resized"},
                                     {"streamId", streamId},
                                     {"windowId", windowId},
                                     {"width", width},
                                     {"height", height},
                                     {"success", success}});
    }
    case MessageType::Ping: {
      const int32_t timestamp = protocol::readInt32Key(message, "timestamp");
      return protocol::dumpWire(json{{"type", "pong"}, {"timestamp", timestamp}});
    }
    case MessageType::Welcome:
    case MessageType::WindowList:
    case MessageType::StreamStarted:
    case MessageType::WindowResized:
    case MessageType::Error:
    case MessageType::Pong:
      break;
  }
  return std::nullopt;
}

bool SignalingServerRequestHandler::startStream(const StreamStartCallback& callback, uint32_t windowId,
                                                uint8_t streamId, ClientKey client) {
  // The id is taken before the start, so that a client that goes meanwhile, having had
  // this id before it came round again, cannot stop the new stream.
  if (!owners.claim(streamId, client)) {
    SPDLOG_WARN(
        "Stream {} is still being stopped for a client that disconnected; not starting window {:x} on it",
        streamId, windowId);
    return false;
  }
  bool started = false;
  try {
    started = callback(windowId, streamId);
  } catch (...) {
    owners.settle(streamId, client, false);
    throw;
  }
  owners.settle(streamId, client, started);
  return started;
}

std::vector<uint8_t> SignalingServerRequestHandler::clientGone(ClientKey client) {
  std::vector<uint8_t> ids = owners.takeAll(client);
  for (const uint8_t streamId : ids) {
    SPDLOG_INFO("Stopping stream {} of a client that disconnected", streamId);
    try {
      if (auto callback = copyOf(onStreamStop)) {
        callback(streamId);
      }
    } catch (const std::exception& e) {
      SPDLOG_ERROR("Failed to stop stream {} of a client that disconnected: {}", streamId, e.what());
    } catch (...) {
      SPDLOG_ERROR("Failed to stop stream {} of a client that disconnected", streamId);
    }
    owners.release(streamId);
  }
  return ids;
}

}  // namespace quorvane::host
