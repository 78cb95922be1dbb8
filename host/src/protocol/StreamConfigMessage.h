#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvane::protocol {

// The decoder set-up of one stream, sent to every client with the stream's keyframes.
struct StreamConfigMessage {
  std::string type;
  uint32_t windowId = 0;
  uint8_t streamId = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  std::string codec;
  std::string sps;             // standard base64 of the sequence parameter set
  std::string pps;             // standard base64 of the picture parameter set
  uint32_t targetBitrate = 0;  // kbit/s
  uint32_t targetFps = 0;
};

// "type" is always "stream_config", whatever the record holds.
void to_json(nlohmann::json& j, const StreamConfigMessage& message);

}  // namespace quorvane::protocol
