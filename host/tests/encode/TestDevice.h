#pragma once

#include <stdexcept>
#include <vector>

#include "support/D3DTest.h"

namespace quorvane::test {

// A Direct3D 11 device for encoder tests, and BGRA textures made from CPU pixels.
class TestDevice {
 public:
  TestDevice() : device_(createTestDevice()) {
    if (!device_) throw std::runtime_error("no Direct3D 11 device");
  }

  ID3D11Device* device() const { return device_.Get(); }
  Microsoft::WRL::ComPtr<ID3D11Texture2D> texture(const std::vector<uint8_t>& bgra, uint32_t width,
                                                  uint32_t height) const {
    const CD3D11_TEXTURE2D_DESC desc(DXGI_FORMAT_B8G8R8A8_UNORM, width, height, 1, 1,
                                     D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);
    const D3D11_SUBRESOURCE_DATA init{bgra.data(), width * 4, 0};
    Microsoft::WRL::ComPtr<ID3D11Texture2D> tex;
    if (FAILED(device_->CreateTexture2D(&desc, &init, &tex))) throw std::runtime_error("no texture");
    return tex;
  }

  // Smooth gradients with a block that moves with `frame`: compresses well.
  static std::vector<uint8_t> pattern(uint32_t width, uint32_t height, uint32_t frame) {
    std::vector<uint8_t> px(size_t{width} * height * 4);
    const uint32_t bx = (frame * 16) % (width > 32 ? width - 32 : 1);
    for (uint32_t y = 0; y < height; ++y) {
      for (uint32_t x = 0; x < width; ++x) {
        uint8_t* p = &px[(size_t{y} * width + x) * 4];
        const bool block = x >= bx && x < bx + 32 && y >= 32 && y < 64;
        p[0] = block ? 40 : static_cast<uint8_t>(x * 255 / width);
        p[1] = block ? 200 : static_cast<uint8_t>(y * 255 / height);
        p[2] = block ? 90 : static_cast<uint8_t>(128 + (x + y) % 64);
        p[3] = 255;
      }
    }
    return px;
  }

 private:
  Microsoft::WRL::ComPtr<ID3D11Device> device_;
};

}  // namespace quorvane::test
