#pragma once

#include <nlohmann/json.hpp>

#include "protocol/WindowInfo.h"

namespace quorvane::protocol {

// One object per window with a key per field; a vector of windows becomes an array.
void to_json(nlohmann::json& j, const WindowInfo& window);

}  // namespace quorvane::protocol
