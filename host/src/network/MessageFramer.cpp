#include "network/MessageFramer.h"

#include <algorithm>
#include <cstring>

namespace quorvane::host {

MessageFramer::MessageFramer(uint32_t maxLength) : maxLength(maxLength) {}

MessageFramer::Status MessageFramer::feed(const uint8_t* data, size_t size, const Handler& onMessage) {
  while (!failed && size > 0) {
    if (prefixFill < sizeof(prefix)) {
      const size_t take = std::min(size, sizeof(prefix) - prefixFill);
      std::memcpy(prefix + prefixFill, data, take);
      prefixFill += take;
      data += take;
      size -= take;
      if (prefixFill < sizeof(prefix)) break;
      std::memcpy(&bodyLength, prefix, sizeof(bodyLength));
      if (bodyLength > maxLength) {
        rejected = bodyLength;
        failed = true;
        break;
      }
      bodyFill = 0;
      if (bodyLength == 0) {
        prefixFill = 0;
      }
      continue;
    }
    if (bodyFill == 0 && size >= bodyLength) {
      // The whole body is here: hand it on in place.
      prefixFill = 0;
      const uint32_t length = bodyLength;
      onMessage(data, length);
      data += length;
      size -= length;
      continue;
    }
    if (body.size() < bodyLength) body.resize(bodyLength);
    const size_t take = std::min(size, bodyLength - bodyFill);
    std::memcpy(body.data() + bodyFill, data, take);
    bodyFill += take;
    data += take;
    size -= take;
    if (bodyFill == bodyLength) {
      prefixFill = 0;
      onMessage(body.data(), bodyLength);
    }
  }
  return failed ? Status::TooLarge : Status::Ok;
}

}  // namespace quorvane::host
