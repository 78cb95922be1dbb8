#pragma once

#include <cstdint>

namespace quorvane::host {

// The client's decode time and round-trip time, sent on the video channel.
struct ClientFeedback {
  uint8_t carried[8] = {};  // not read by the host
  uint16_t decodeTimeMs = 0;
  uint16_t rttMs = 0;
};
static_assert(sizeof(ClientFeedback) == 12);

}  // namespace quorvane::host
