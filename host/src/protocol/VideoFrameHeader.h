#pragma once

#include <cstdint>

namespace quorvane::host {

// The 8 bytes after the PacketHeader of a video packet.
struct VideoFrameHeader {
  static constexpr uint8_t kKeyframe = 1;
  static constexpr uint8_t kInterFrame = 3;

  uint32_t timestamp = 0;  // 90 kHz send time
  uint8_t frameType = kInterFrame;
  uint8_t reserved0 = 0;
  uint8_t reserved1 = 1;  // always 1 on the wire
  uint8_t reserved2 = 0;
};
static_assert(sizeof(VideoFrameHeader) == 8);

}  // namespace quorvane::host
