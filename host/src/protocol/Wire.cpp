#include "protocol/Wire.h"

#include <cmath>
#include <stdexcept>

namespace quorvane::protocol {

namespace {

// A floating-point value is taken only when its truncation lies in [low, high].
template <typename T>
T readKey(const nlohmann::json& request, const char* key, double low, double high) {
  const auto it = request.find(key);
  if (it == request.end()) {
    return 0;
  }
  if (it->is_number_float()) {
    const double value = std::trunc(it->get<double>());
    if (!std::isfinite(value) || value < low || value > high) {
      throw std::out_of_range(std::string("number out of range in \"") + key + "\"");
    }
    return static_cast<T>(value);
  }
  if (it->is_number_integer() && !it->is_number_unsigned()) {
    // Low 32 bits of the 64-bit value, for either target type.
    return static_cast<T>(static_cast<uint32_t>(it->get<int64_t>()));
  }
  if (it->is_number_unsigned()) {
    return static_cast<T>(static_cast<uint32_t>(it->get<uint64_t>()));
  }
  return it->get<T>();  // booleans read as 0 and 1; other types throw
}

}  // namespace

std::string dumpWire(const nlohmann::json& message) {
  return message.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

uint32_t readUint32Key(const nlohmann::json& request, const char* key) {
  return readKey<uint32_t>(request, key, 0.0, 4294967295.0);
}

int32_t readInt32Key(const nlohmann::json& request, const char* key) {
  return readKey<int32_t>(request, key, -2147483648.0, 2147483647.0);
}

}  // namespace quorvane::protocol
