#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include <boost/asio/buffer.hpp>

namespace quorvane::host {

// The backlog of one client connection: whole packets, in the order they were queued, in a
// ring of bytes that is allocated and touched once, so that queuing a packet costs one copy
// and no allocation. A packet larger than the ring is taken on its own, when nothing else
// waits, into a buffer of its own.
//
// Not synchronised: the owner guards every call, except that the bytes of a reserved packet
// are copied in by the reserving thread alone while other calls go on.
class PacketRing {
 public:
  explicit PacketRing(size_t capacity);

  // Room for a packet of `size` (at least 1) bytes behind the packets that wait; nothing
  // when it does not fit. The packet waits once committed; one packet is reserved at a time.
  std::optional<size_t> reserve(size_t size);
  // Copies `size` bytes to `at` bytes into the reserved packet that starts at `offset`.
  void copyIn(size_t offset, size_t at, const void* data, size_t size);
  void commit(size_t offset, size_t size);

  bool empty() const { return packets.empty(); }
  // Buffers of the bytes not yet written, from the oldest packet on; at most `max`.
  size_t gather(boost::asio::const_buffer* out, size_t max) const;
  // The first `bytes` of the bytes not yet written have been written.
  void consume(size_t bytes);

 private:
  static constexpr size_t kOwnBuffer = SIZE_MAX;  // the offset of a packet in `large`

  struct Packet {
    size_t offset;
    size_t size;
  };

  std::vector<uint8_t> ring;
  size_t start = 0;  // offset of the oldest packet
  size_t used = 0;   // bytes from `start` taken by packets, committed or reserved
  std::deque<Packet> packets;
  size_t frontWritten = 0;  // bytes of the oldest packet already written
  std::vector<uint8_t> large;
};

}  // namespace quorvane::host
