#include "protocol/StreamStartedMessage.h"

namespace quorvane::protocol {

void to_json(nlohmann::json& j, const StreamStartedMessage& message) {
  j = nlohmann::json{
      {"type", message.type},   {"windowId", message.windowId}, {"streamId", message.streamId},
      {"width", message.width}, {"height", message.height},     {"codec", message.codec},
  };
}

}  // namespace quorvane::protocol
