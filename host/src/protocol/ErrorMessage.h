#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvane::protocol {

// A request the host could not carry out.
struct ErrorMessage {
  std::string type;
  uint32_t code = 0;
  std::string message;
};

void to_json(nlohmann::json& j, const ErrorMessage& message);

}  // namespace quorvane::protocol
