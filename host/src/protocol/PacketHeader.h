#pragma once

#include <cstdint>

namespace quorvane::host {

// What a host-to-client packet carries, in PacketHeader::type.
enum class PacketType : uint8_t {
  Video = 1,
  Audio = 2,
};

// The 8 bytes after the 32-bit length prefix of every packet on the video and the audio
// channel. Integers are little-endian, as they lie in memory.
struct PacketHeader {
  uint8_t version = 1;
  uint8_t type = 0;
  uint8_t streamId = 0;
  uint8_t flags = 0;
  uint16_t sequence = 0;
  uint16_t payloadLength = 0;  // bytes after this header; only a hint, clients frame by the prefix
};
static_assert(sizeof(PacketHeader) == 8);

}  // namespace quorvane::host
