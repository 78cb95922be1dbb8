#include "protocol/ErrorMessage.h"

namespace quorvane::protocol {

void to_json(nlohmann::json& j, const ErrorMessage& message) {
  j = nlohmann::json{{"type", message.type}, {"code", message.code}, {"message", message.message}};
}

}  // namespace quorvane::protocol
