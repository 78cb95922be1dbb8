#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "support/LoopbackClient.h"

namespace quorvane::test {

// Connects and waits until the server has logged one more such connection.
inline bool connectSeen(LoopbackClient& client, uint16_t port, const LogCapture& log,
                        const std::string& line) {
  const size_t before = log.count(line);
  return client.connect(port) && waitFor([&] { return log.count(line) > before; });
}

inline bool logWait(const LogCapture& log, const std::string& text) {
  return waitFor([&] { return log.contains(text); });
}

// What a server's callbacks handed over, from its own thread.
template <typename T>
class Recorded {
 public:
  void add(T item) {
    std::lock_guard lock(mutex);
    items.push_back(std::move(item));
  }
  std::vector<T> all() {
    std::lock_guard lock(mutex);
    return items;
  }
  size_t size() { return all().size(); }
  bool waitForSize(size_t n) {
    return waitFor([&] { return size() >= n; });
  }

 private:
  std::mutex mutex;
  std::vector<T> items;
};

// A length-prefixed message: little-endian 32-bit length, then the body.
inline std::vector<uint8_t> framed(const std::vector<uint8_t>& body) {
  const auto length = static_cast<uint32_t>(body.size());
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &length, 4);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline uint32_t u32(const std::vector<uint8_t>& bytes, size_t at, size_t size = 4) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}
inline uint16_t u16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>(u32(bytes, at, 2));
}

}  // namespace quorvane::test
