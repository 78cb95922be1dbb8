#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace quorvane::host {

// Splits a byte stream into messages of a 32-bit little-endian length prefix and a body.
// Bytes may arrive in any pieces; every complete body is handed on in order. Empty
// messages are skipped. A length above the limit ends the stream for good.
class MessageFramer {
 public:
  enum class Status { Ok, TooLarge };
  using Handler = std::function<void(const uint8_t* body, size_t size)>;

  explicit MessageFramer(uint32_t maxLength);

  // Feeds the next bytes of the stream. A body that lies wholly inside `data` is handed
  // on without a copy; one that spans several pieces is gathered in a reused buffer.
  Status feed(const uint8_t* data, size_t size, const Handler& onMessage);

  // True while a length has been read and its body is not complete yet.
  bool inBody() const { return prefixFill == sizeof(prefix); }
  // The length that ended the stream with TooLarge.
  uint32_t rejectedLength() const { return rejected; }

 private:
  uint32_t maxLength;
  uint8_t prefix[4] = {};
  size_t prefixFill = 0;
  uint32_t bodyLength = 0;
  size_t bodyFill = 0;
  std::vector<uint8_t> body;
  uint32_t rejected = 0;
  bool failed = false;
};

}  // namespace quorvane::host
