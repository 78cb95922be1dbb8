#include "ColorConvert.h"

#include <algorithm>

namespace quorvane::standin {

namespace {
uint8_t clamp8(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }
}  // namespace

void ColorConvert::bgraToI420(const uint8_t* bgra, size_t bgraPitch, uint32_t width, uint32_t height,
                              uint8_t* y, uint8_t* u, uint8_t* v) {
  for (uint32_t row = 0; row < height; ++row) {
    const uint8_t* p = bgra + row * bgraPitch;
    for (uint32_t col = 0; col < width; ++col, p += 4) {
      y[row * width + col] = clamp8(((66 * p[2] + 129 * p[1] + 25 * p[0] + 128) >> 8) + 16);
    }
  }
  const uint32_t cw = width / 2;
  for (uint32_t row = 0; row < height / 2; ++row) {
    for (uint32_t col = 0; col < cw; ++col) {
      int b = 0, g = 0, r = 0;
      for (uint32_t dy = 0; dy < 2; ++dy) {
        const uint8_t* p = bgra + (row * 2 + dy) * bgraPitch + col * 8;
        b += p[0] + p[4];
        g += p[1] + p[5];
        r += p[2] + p[6];
      }
      b = (b + 2) / 4;
      g = (g + 2) / 4;
      r = (r + 2) / 4;
      u[row * cw + col] = clamp8(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
      v[row * cw + col] = clamp8(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
    }
  }
}

void ColorConvert::i420ToBgra(const uint8_t* y, size_t yPitch, const uint8_t* u, const uint8_t* v,
                              size_t uvPitch, uint32_t width, uint32_t height, uint8_t* bgra) {
  for (uint32_t row = 0; row < height; ++row) {
    for (uint32_t col = 0; col < width; ++col) {
      const int c = y[row * yPitch + col] - 16;
      const int d = u[(row / 2) * uvPitch + col / 2] - 128;
      const int e = v[(row / 2) * uvPitch + col / 2] - 128;
      uint8_t* p = bgra + (size_t{row} * width + col) * 4;
      p[0] = clamp8((298 * c + 516 * d + 128) >> 8);
      p[1] = clamp8((298 * c - 100 * d - 208 * e + 128) >> 8);
      p[2] = clamp8((298 * c + 409 * e + 128) >> 8);
      p[3] = 255;
    }
  }
}

}  // namespace quorvane::standin
