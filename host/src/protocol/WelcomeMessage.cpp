#include "protocol/WelcomeMessage.h"

namespace quorvane::protocol {

void to_json(nlohmann::json& j, const WelcomeMessage& message) {
  j = nlohmann::json{
      {"type", message.type},
      {"hostName", message.hostName},
      {"hostVersion", message.hostVersion},
      {"videoPort", message.videoPort},
      {"audioPort", message.audioPort},
      {"inputPort", message.inputPort},
      {"protocol", message.protocol},
      {"supportedCodecs", message.supportedCodecs},
      {"requiresAuth", message.requiresAuth},
  };
}

}  // namespace quorvane::protocol
