#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvane::protocol {

// The host's answer to a client's hello.
struct WelcomeMessage {
  std::string type;
  std::string hostName;
  std::string hostVersion;
  uint32_t videoPort = 0;
  uint32_t audioPort = 0;
  uint32_t inputPort = 0;
  std::string protocol;
  std::vector<std::string> supportedCodecs;
  bool requiresAuth = false;
};

void to_json(nlohmann::json& j, const WelcomeMessage& message);

}  // namespace quorvane::protocol
