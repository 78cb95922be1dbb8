#pragma once

#include <cstdint>

namespace quorvane::host {

// The 4 bytes after the PacketHeader of an audio packet.
struct AudioPacketHeader {
  uint32_t timestamp = 0;  // steady clock in milliseconds, low 32 bits
};
static_assert(sizeof(AudioPacketHeader) == 4);

}  // namespace quorvane::host
