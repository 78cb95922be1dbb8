#include "protocol/StreamConfigMessage.h"

namespace quorvane::protocol {

void to_json(nlohmann::json& j, const StreamConfigMessage& message) {
  j = nlohmann::json{
      {"type", "stream_config"},
      {"windowId", message.windowId},
      {"streamId", message.streamId},
      {"width", message.width},
      {"height", message.height},
      {"codec", message.codec},
      {"sps", message.sps},
      {"pps", message.pps},
      {"targetBitrate", message.targetBitrate},
      {"targetFps", message.targetFps},
  };
}

}  // namespace quorvane::protocol
