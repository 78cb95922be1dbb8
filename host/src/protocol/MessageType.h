#pragma once

#include <optional>

#include <nlohmann/json.hpp>

namespace quorvane::protocol {

// The "type" word of a signaling message. Values without a name are not used.
enum class MessageType : int {
  Hello = 0,
  Welcome = 1,
  WindowListRequest = 4,
  WindowList = 5,
  StreamStart = 10,
  StreamStarted = 11,
  StreamStop = 12,
  KeyframeRequest = 15,
  WindowResize = 16,
  WindowResized = 17,
  Error = 20,
  Ping = 21,
  Pong = 22,
};

// The type named by a received message: empty when the value is not an object, has no
// "type" or names no known word. Throws nlohmann::json::type_error when "type" is not
// a string.
std::optional<MessageType> parseMessageType(const nlohmann::json& message);

}  // namespace quorvane::protocol
