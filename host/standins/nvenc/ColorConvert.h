#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane::standin {

// BT.601 limited-range conversions between packed BGRA and planar I420 (even sizes).
class ColorConvert {
 public:
  static void bgraToI420(const uint8_t* bgra, size_t bgraPitch, uint32_t width, uint32_t height, uint8_t* y,
                         uint8_t* u, uint8_t* v);
  static void i420ToBgra(const uint8_t* y, size_t yPitch, const uint8_t* u, const uint8_t* v, size_t uvPitch,
                         uint32_t width, uint32_t height, uint8_t* bgra);
};

}  // namespace quorvane::standin
