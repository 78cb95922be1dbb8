#pragma once

#include <cstdint>

namespace quorvane::host {

// First body byte of a client message on the video channel.
enum class ClientMessageType : uint8_t {
  ClientInput = 3,
  ClientFeedback = 4,
  KeyframeRequest = 16,
};

}  // namespace quorvane::host
