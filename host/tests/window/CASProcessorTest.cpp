#include "capture/CASProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>

#include "support/D3DTest.h"

using Microsoft::WRL::ComPtr;

namespace quorvane::host {
namespace {

// BGRA8 image as 0xAARRGGBB values, rows top-down.
struct Image {
  int width, height;
  std::vector<uint32_t> pixels;

  Image(int w, int h, const std::function<uint32_t(int, int)>& colour)
      : width(w), height(h), pixels(size_t(w) * h) {
    for (int i = 0; i < w * h; ++i) pixels[i] = colour(i % w, i / w);
  }
  // Channel ch (0 blue .. 2 red) at (x, y) clamped to the image, from 0 to 1.
  float at(int x, int y, int ch) const {
    const uint32_t p = pixels[std::clamp(y, 0, height - 1) * width + std::clamp(x, 0, width - 1)];
    return ((p >> (8 * ch)) & 0xFF) / 255.0f;
  }
};

// The sharpening filter on the CPU, channel by channel, on the clamped 3 x 3 neighbourhood. A
// channel whose neighbourhood is entirely 0 passes its centre through.
Image referenceSharpen(const Image& src, float sharpness) {
  const float peak = 8.0f - 3.0f * sharpness;
  return Image(src.width, src.height, [&](int x, int y) {
    uint32_t out = 0xFF000000u;
    for (int ch = 0; ch < 3; ++ch) {
      const float b = src.at(x, y - 1, ch), d = src.at(x - 1, y, ch), e = src.at(x, y, ch);
      const float f = src.at(x + 1, y, ch), h = src.at(x, y + 1, ch);
      const float corners[] = {src.at(x - 1, y - 1, ch), src.at(x + 1, y - 1, ch), src.at(x - 1, y + 1, ch),
                               src.at(x + 1, y + 1, ch)};
      const float mn = std::min({d, e, f, b, h}), mx = std::max({d, e, f, b, h});
      const float mnRGB = mn + std::min({mn, corners[0], corners[1], corners[2], corners[3]});
      const float mxRGB = mx + std::max({mx, corners[0], corners[1], corners[2], corners[3]});
      float amp = mxRGB > 0.0f ? std::clamp(std::min(mnRGB, 2.0f - mxRGB) / mxRGB, 0.0f, 1.0f) : 0.0f;
      const float w = amp > 0.0f ? -std::sqrt(amp) / peak : 0.0f;
      const float value = std::clamp((b * w + d * w + f * w + h * w + e) / (1.0f + 4.0f * w), 0.0f, 1.0f);
      out |= static_cast<uint32_t>(std::lround(value * 255.0f)) << (8 * ch);
    }
    return out;
  });
}

class CASProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = quorvane::test::createTestDevice(&context);
    ASSERT_TRUE(device && cas.initialize(device.Get()));
    cas.enabled = true;
  }
  ComPtr<ID3D11Texture2D> texture(const Image& image,
                                  UINT bind = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET) {
    const CD3D11_TEXTURE2D_DESC desc(DXGI_FORMAT_B8G8R8A8_UNORM, image.width, image.height, 1, 1, bind);
    const D3D11_SUBRESOURCE_DATA data{image.pixels.data(), static_cast<UINT>(image.width * 4), 0};
    ComPtr<ID3D11Texture2D> tex;
    EXPECT_HRESULT_SUCCEEDED(device->CreateTexture2D(&desc, &data, &tex));
    return tex;
  }
  // Sharpens `src` into a target of its size; the target's pixels.
  std::vector<uint32_t> sharpen(const Image& src, float sharpness) {
    cas.sharpness = sharpness;
    auto out = texture(Image(src.width, src.height, [](int, int) { return 0u; }));
    EXPECT_TRUE(cas.apply(context.Get(), texture(src, D3D11_BIND_SHADER_RESOURCE).Get(), out.Get(), src.width,
                          src.height));
    return quorvane::test::readTexture(out.Get());
  }

  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  CASProcessor cas;
};

// Every channel within one unit of the filter, at each strength, on an edge, noise, a flat
// colour and saturated quadrants (every channel 0 or 1 around every pixel, which must not take
// the division by zero). Strengths outside 0..1 (and NaN) act as the nearest end.
TEST_F(CASProcessorTest, MatchesTheFilterAtEachStrength) {
  const Image edge(16, 8, [](int x, int) { return x >= 7 ? 0xFFCC5A1Eu : 0xFF33A01Fu; });
  const Image noise(24, 16, [](int x, int y) {
    const uint32_t state = static_cast<uint32_t>(y * 24 + x) * 2654435761u;
    return state ^ (state >> 13) ^ (state << 7);
  });
  const Image flat(8, 8, [](int, int) { return 0xFF25B45Au; });
  const Image pure(8, 8, [](int x, int y) {
    const uint32_t quadrant[] = {0xFF000000u, 0xFFFF0000u, 0xFF00FF00u, 0xFFFFFFFFu};
    return quadrant[(x >= 4 ? 1 : 0) + (y >= 4 ? 2 : 0)];
  });
  for (const auto& [sharpness, effective] : std::vector<std::pair<float, float>>{
           {0.0f, 0.0f}, {0.7f, 0.7f}, {1.0f, 1.0f}, {4.0f, 1.0f}, {std::nanf(""), 1.0f}, {-2.0f, 0.0f}}) {
    for (const Image* image : {&edge, &noise, &flat, &pure}) {
      SCOPED_TRACE(::testing::Message() << "sharpness " << sharpness << ", " << image->width << " wide");
      const auto got = sharpen(*image, sharpness);
      const Image want = referenceSharpen(*image, effective);
      int mismatches = 0;
      for (int i = 0; i < image->width * image->height * 4; ++i) {
        const int g = (got[i / 4] >> (8 * (i % 4))) & 0xFF, w = (want.pixels[i / 4] >> (8 * (i % 4))) & 0xFF;
        if (std::abs(g - w) > 1 && mismatches++ < 5)
          ADD_FAILURE() << "pixel " << i / 4 << " channel " << i % 4;
      }
    }
  }
  // Not initialised, without a source or switched off: refused.
  CASProcessor uninitialised;
  uninitialised.enabled = true;
  auto out = texture(flat);
  EXPECT_FALSE(uninitialised.apply(context.Get(), texture(flat).Get(), out.Get(), 8, 8) ||
               cas.apply(context.Get(), nullptr, out.Get(), 8, 8));
  cas.enabled = false;
  EXPECT_FALSE(cas.apply(context.Get(), texture(flat).Get(), out.Get(), 8, 8));
}

// The caller's target and viewport come back, no source stays bound, and none is invented.
TEST_F(CASProcessorTest, RestoresTheCallersTargetAndViewport) {
  ComPtr<ID3D11RenderTargetView> callerView, bound;
  ASSERT_HRESULT_SUCCEEDED(device->CreateRenderTargetView(
      texture(Image(64, 64, [](int, int) { return 0u; }), D3D11_BIND_RENDER_TARGET).Get(), nullptr,
      &callerView));
  context->OMSetRenderTargets(1, callerView.GetAddressOf(), nullptr);
  const D3D11_VIEWPORT callerViewport{3.0f, 5.0f, 40.0f, 30.0f, 0.25f, 0.75f};
  context->RSSetViewports(1, &callerViewport);
  const Image frame(16, 8, [](int x, int) { return x * 0x0F0F0Fu; });
  sharpen(frame, 0.5f);
  context->OMGetRenderTargets(1, &bound, nullptr);
  EXPECT_EQ(bound.Get(), callerView.Get());
  UINT count = 1;
  D3D11_VIEWPORT viewport{};
  context->RSGetViewports(&count, &viewport);
  const auto fields = [](const D3D11_VIEWPORT& v) {
    return std::tie(v.TopLeftX, v.TopLeftY, v.Width, v.Height, v.MinDepth, v.MaxDepth);
  };
  EXPECT_EQ(fields(viewport), fields(callerViewport));
  ComPtr<ID3D11ShaderResourceView> resource;
  context->PSGetShaderResources(0, 1, &resource);
  EXPECT_FALSE(resource);
  context->ClearState();
  sharpen(frame, 0.5f);
  count = 0;
  context->RSGetViewports(&count, nullptr);
  EXPECT_EQ(count, 0u);
  context->OMGetRenderTargets(1, &bound, nullptr);
  EXPECT_FALSE(bound);
}

}  // namespace
}  // namespace quorvane::host
