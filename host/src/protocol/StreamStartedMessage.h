#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvane::protocol {

// Confirms a stream start and names the stream id the host assigned.
struct StreamStartedMessage {
  std::string type;
  uint32_t windowId = 0;
  uint8_t streamId = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  std::string codec;
};

void to_json(nlohmann::json& j, const StreamStartedMessage& message);

}  // namespace quorvane::protocol
