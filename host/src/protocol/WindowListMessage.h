#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/WindowInfo.h"
#include "protocol/WindowInfoJson.h"

namespace quorvane::protocol {

// The windows a client may stream, in the order the provider listed them.
struct WindowListMessage {
  std::string type;
  std::vector<WindowInfo> windows;
};

void to_json(nlohmann::json& j, const WindowListMessage& message);

}  // namespace quorvane::protocol
