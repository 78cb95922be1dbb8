#include "protocol/MessageType.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>

namespace quorvane::protocol {

namespace {

constexpr std::array<std::pair<std::string_view, MessageType>, 16> kWords{{
    {"hello", MessageType::Hello},
    {"welcome", MessageType::Welcome},
    {"window_list_request", MessageType::WindowListRequest},
    {"window_list", MessageType::WindowList},
    {"stream_start", MessageType::StreamStart},
    {"stream_subscribe", MessageType::StreamStart},
    {"stream_started", MessageType::StreamStarted},
    {"stream_stop", MessageType::StreamStop},
    {"stream_unsubscribe", MessageType::StreamStop},
    {"request_keyframe", MessageType::KeyframeRequest},
    {"keyframe_request", MessageType::KeyframeRequest},
    {"window_resize", MessageType::WindowResize},
    {"window_resized", MessageType::WindowResized},
    {"error", MessageType::Error},
    {"ping", MessageType::Ping},
    {"pong", MessageType::Pong},
}};

}  // namespace

std::optional<MessageType> parseMessageType(const nlohmann::json& message) {
  if (!message.is_object()) {
    return std::nullopt;
  }
  const auto it = message.find("type");
  if (it == message.end()) {
    return std::nullopt;
  }
  const auto word = it->get<std::string>();  // "type must be string, but is ..." otherwise
  for (const auto& [text, type] : kWords) {
    if (word == text) {
      return type;
    }
  }
  return std::nullopt;
}

}  // namespace quorvane::protocol
