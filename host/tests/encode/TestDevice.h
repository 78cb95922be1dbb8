#pragma once

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

namespace quorvane::test {

// A Direct3D 11 device for encoder tests, and BGRA textures made from CPU pixels.
class TestDevice {
 public:
  TestDevice();

  ID3D11Device* device() const { return device_.Get(); }
  Microsoft::WRL::ComPtr<ID3D11Texture2D> texture(const std::vector<uint8_t>& bgra, uint32_t width,
                                                  uint32_t height) const;

  // Smooth gradients with a block that moves with `frame`: compresses well.
  static std::vector<uint8_t> pattern(uint32_t width, uint32_t height, uint32_t frame);
  // Random pixels: the encoder's output size then follows its bitrate.
  static std::vector<uint8_t> noise(uint32_t width, uint32_t height, uint32_t seed);

 private:
  Microsoft::WRL::ComPtr<ID3D11Device> device_;
};

}  // namespace quorvane::test
