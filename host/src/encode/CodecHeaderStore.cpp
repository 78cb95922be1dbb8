#include "encode/CodecHeaderStore.h"

#include <cstring>

namespace quorvane::host {

namespace {

// Length of the start code at `i` (3 or 4), or 0. Needs i + 3 < size.
size_t startCodeAt(const uint8_t* data, size_t i) {
  if (data[i] != 0 || data[i + 1] != 0) {
    return 0;
  }
  if (data[i + 2] == 1) {
    return 3;
  }
  if (data[i + 2] == 0 && data[i + 3] == 1) {
    return 4;
  }
  return 0;
}

std::vector<uint8_t>* targetFor(CodecHeaders& headers, uint8_t header, bool hevc) {
  if (hevc) {
    switch (header & 0x7E) {
      case 0x40:
        return &headers.vps;
      case 0x42:
        return &headers.sps;
      case 0x44:
        return &headers.pps;
      default:
        return nullptr;
    }
  }
  switch (header & 0x1F) {
    case 7:
      return &headers.sps;
    case 8:
      return &headers.pps;
    default:
      return nullptr;
  }
}

}  // namespace

void CodecHeaderStore::extract(const uint8_t* data, size_t size, bool hevc) {
  if (data == nullptr || size < 5) {
    return;
  }
  std::lock_guard lock(mutex_);
  size_t i = 0;
  while (i + 4 < size) {
    const size_t codeLength = startCodeAt(data, i);
    if (codeLength == 0) {
      ++i;
      continue;
    }
    const size_t begin = i + codeLength;
    // The unit ends at the next start code; only zero bytes can begin one, so skip to those.
    size_t end = size;
    for (size_t j = begin + 1; j + 3 < size; ++j) {
      const void* zero = std::memchr(data + j, 0, size - 3 - j);
      if (zero == nullptr) {
        break;
      }
      j = static_cast<size_t>(static_cast<const uint8_t*>(zero) - data);
      if (startCodeAt(data, j) != 0) {
        end = j;
        break;
      }
    }
    if (auto* target = targetFor(headers_, data[begin], hevc)) {
      target->assign(data + begin, data + end);
    }
    i = end;
  }
  headers_.valid = !headers_.sps.empty() && !headers_.pps.empty();
}

CodecHeaders CodecHeaderStore::get() const {
  std::lock_guard lock(mutex_);
  return headers_;
}

}  // namespace quorvane::host
