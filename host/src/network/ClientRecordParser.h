#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>

#include "protocol/ClientFeedback.h"
#include "protocol/ClientInput.h"
#include "protocol/InputEvent.h"
#include "protocol/KeyframeRequest.h"

namespace quorvane::host {

// Turns the body of one client message into its record. Bytes after the record are
// ignored; a body that is too short or of an unknown type yields nothing.
class ClientRecordParser {
 public:
  using VideoRecord = std::variant<ClientInput, ClientFeedback, KeyframeRequest>;

  // A video-channel body: a type byte and the record.
  static std::optional<VideoRecord> parseVideoMessage(const uint8_t* body, size_t size);
  // An input-channel body: one InputEvent in its first 12 bytes.
  static std::optional<InputEvent> parseInputMessage(const uint8_t* body, size_t size);
};

}  // namespace quorvane::host
