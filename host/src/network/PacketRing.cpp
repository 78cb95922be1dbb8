#include "network/PacketRing.h"

#include <algorithm>
#include <cstring>

namespace quorvane::host {

// Zero-filled at once, so that no page of the ring is first touched while a packet is copied.
PacketRing::PacketRing(size_t capacity) : ring(capacity, 0) {}

std::optional<size_t> PacketRing::reserve(size_t size) {
  const bool idle = packets.empty() && used == 0 && large.empty();
  if (size > ring.size()) {
    if (!idle) return std::nullopt;
    large.resize(size);
    return kOwnBuffer;
  }
  if (!large.empty() || size > ring.size() - used) return std::nullopt;
  const size_t offset = ring.empty() ? 0 : (start + used) % ring.size();
  used += size;
  return offset;
}

void PacketRing::copyIn(size_t offset, size_t at, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size == 0) return;
  if (offset == kOwnBuffer) {
    std::memcpy(large.data() + at, bytes, size);
    return;
  }
  const size_t from = (offset + at) % ring.size();
  const size_t first = std::min(size, ring.size() - from);
  std::memcpy(ring.data() + from, bytes, first);
  std::memcpy(ring.data(), bytes + first, size - first);
}

void PacketRing::commit(size_t offset, size_t size) { packets.push_back({offset, size}); }

size_t PacketRing::gather(boost::asio::const_buffer* out, size_t max) const {
  size_t n = 0;
  size_t skip = frontWritten;
  for (const Packet& packet : packets) {
    if (n == max) break;
    if (packet.offset == kOwnBuffer) {
      out[n++] = boost::asio::buffer(large.data() + skip, packet.size - skip);
    } else {
      const size_t from = (packet.offset + skip) % ring.size();
      const size_t left = packet.size - skip;
      const size_t first = std::min(left, ring.size() - from);
      out[n++] = boost::asio::buffer(ring.data() + from, first);
      if (first < left) {  // wraps round to the start of the ring
        if (n == max) break;
        out[n++] = boost::asio::buffer(ring.data(), left - first);
      }
    }
    skip = 0;
  }
  return n;
}

void PacketRing::consume(size_t bytes) {
  while (bytes > 0 && !packets.empty()) {
    const Packet& front = packets.front();
    const size_t rest = front.size - frontWritten;
    if (bytes < rest) {
      frontWritten += bytes;
      return;
    }
    bytes -= rest;
    frontWritten = 0;
    if (front.offset == kOwnBuffer) {
      large = {};
    } else {
      start = (start + front.size) % ring.size();
      used -= front.size;
    }
    packets.pop_front();
  }
}

}  // namespace quorvane::host
