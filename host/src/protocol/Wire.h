#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace quorvane::protocol {

// The text of a message as written on the signaling channel: compact, keys in byte
// order, non-ASCII characters as raw UTF-8. Throws nlohmann::json::type_error when a
// string is not valid UTF-8.
std::string dumpWire(const nlohmann::json& message);

// Numeric keys of a request object. A missing key reads as 0; an integer keeps its low
// 32 bits, a fraction is truncated toward zero, true and false read as 1 and 0. A
// string, null, array or object throws nlohmann::json::type_error; a fraction that is
// not finite or does not fit the target type throws std::out_of_range.
uint32_t readUint32Key(const nlohmann::json& request, const char* key);
int32_t readInt32Key(const nlohmann::json& request, const char* key);

}  // namespace quorvane::protocol
