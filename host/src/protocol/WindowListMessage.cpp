#include "protocol/WindowListMessage.h"

namespace quorvane::protocol {

void to_json(nlohmann::json& j, const WindowListMessage& message) {
  // An empty list is still an array, never null.
  nlohmann::json windows = nlohmann::json::array();
  for (const auto& window : message.windows) {
    windows.push_back(window);
  }
  j = nlohmann::json{{"type", message.type}, {"windows", std::move(windows)}};
}

}  // namespace quorvane::protocol
