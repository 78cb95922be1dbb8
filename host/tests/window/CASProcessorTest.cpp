#include "capture/CASProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "support/D3DTest.h"
#include "support/LogCapture.h"

using Microsoft::WRL::ComPtr;
using quorvane::test::createTestDevice;
using quorvane::test::LogCapture;

namespace quorvane::host {
namespace {

// BGRA8 image, rows top-down without padding, filled by colour(x, y) as 0xAARRGGBB.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;

  Image(
      int w, int h, const std::function<uint32_t(int, int)>& colour = [](int, int) { return 0u; })
      : width(w), height(h), pixels(static_cast<size_t>(w) * h * 4) {
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        const uint32_t c = colour(x, y);
        std::memcpy(at(x, y), &c, 4);
      }
    }
  }
  uint8_t* at(int x, int y) { return &pixels[(static_cast<size_t>(y) * width + x) * 4]; }
  const uint8_t* at(int x, int y) const { return &pixels[(static_cast<size_t>(y) * width + x) * 4]; }
};

// The sharpening filter on the CPU, channel by channel, on the clamped 3 x 3 neighbourhood. A
// channel whose neighbourhood is entirely 0 passes its centre through.
Image referenceSharpen(const Image& src, float sharpness) {
  Image out(src.width, src.height);
  const float peak = 8.0f - 3.0f * sharpness;
  for (int y = 0; y < src.height; ++y) {
    for (int x = 0; x < src.width; ++x) {
      for (int ch = 0; ch < 3; ++ch) {
        float t[3][3];
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            const uint8_t* p =
                src.at(std::clamp(x + dx, 0, src.width - 1), std::clamp(y + dy, 0, src.height - 1));
            t[dy + 1][dx + 1] = p[ch] / 255.0f;
          }
        }
        const float b = t[0][1], d = t[1][0], e = t[1][1], f = t[1][2], h = t[2][1];
        const float mn = std::min({d, e, f, b, h});
        const float mx = std::max({d, e, f, b, h});
        const float mnRGB = mn + std::min({mn, t[0][0], t[0][2], t[2][0], t[2][2]});
        const float mxRGB = mx + std::max({mx, t[0][0], t[0][2], t[2][0], t[2][2]});
        float amp =
            mxRGB > 0.0f ? std::clamp(std::min(mnRGB, 2.0f - mxRGB) * (1.0f / mxRGB), 0.0f, 1.0f) : 0.0f;
        float w = 0.0f;
        if (amp > 0.0f) {
          amp = 1.0f / std::sqrt(amp);
          w = -1.0f / (amp * peak);
        }
        const float value = std::clamp((b * w + d * w + f * w + h * w + e) / (1.0f + 4.0f * w), 0.0f, 1.0f);
        out.at(x, y)[ch] = static_cast<uint8_t>(std::lround(value * 255.0f));
      }
      out.at(x, y)[3] = 255;
    }
  }
  return out;
}

const Image stepEdge(16, 8, [](int x, int) { return x >= 7 ? 0xFFCC5A1Eu : 0xFF33A01Fu; });
const Image noise(24, 16, [](int x, int y) {
  uint32_t state = static_cast<uint32_t>(y * 24 + x) * 2654435761u;
  return state ^ (state >> 13) ^ (state << 7);
});

class CASProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device = createTestDevice(&context);
    ASSERT_TRUE(device);
    ASSERT_TRUE(cas.initialize(device.Get()));
    cas.enabled = true;
  }

  ComPtr<ID3D11Texture2D> texture(const Image& image, UINT bind) {
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = static_cast<UINT>(image.width);
    desc.Height = static_cast<UINT>(image.height);
    desc.MipLevels = desc.ArraySize = desc.SampleDesc.Count = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.BindFlags = bind;
    D3D11_SUBRESOURCE_DATA data{image.pixels.data(), static_cast<UINT>(image.width * 4), 0};
    ComPtr<ID3D11Texture2D> tex;
    EXPECT_HRESULT_SUCCEEDED(device->CreateTexture2D(&desc, &data, &tex));
    return tex;
  }
  ComPtr<ID3D11Texture2D> target(const Image& image) {
    return texture(image, D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);
  }

  static Image readBack(ID3D11Texture2D* tex) {
    D3D11_TEXTURE2D_DESC desc{};
    tex->GetDesc(&desc);
    Image image(static_cast<int>(desc.Width), static_cast<int>(desc.Height));
    const auto pixels = quorvane::test::readTexture(tex);
    std::memcpy(image.pixels.data(), pixels.data(), std::min(image.pixels.size(), pixels.size() * 4));
    return image;
  }

  // Sharpens `src` into a fresh target of the same size and returns the target's pixels.
  Image sharpen(const Image& src, float sharpness) {
    cas.sharpness = sharpness;
    auto source = texture(src, D3D11_BIND_SHADER_RESOURCE);
    auto out = target(Image(src.width, src.height));
    EXPECT_TRUE(cas.apply(context.Get(), source.Get(), out.Get(), src.width, src.height));
    return readBack(out.Get());
  }

  // Every channel within one unit.
  static void expectNear(const Image& actual, const Image& expected) {
    int mismatches = 0;
    for (size_t i = 0; i < expected.pixels.size(); ++i) {
      if (std::abs(actual.pixels[i] - expected.pixels[i]) > 1 && mismatches++ < 5) {
        ADD_FAILURE() << "pixel (" << (i / 4) % expected.width << ", " << (i / 4) / expected.width
                      << ") channel " << i % 4 << " is " << int(actual.pixels[i]) << ", expected "
                      << int(expected.pixels[i]);
      }
    }
    EXPECT_EQ(mismatches, 0);
  }

  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  CASProcessor cas;
};

TEST_F(CASProcessorTest, MatchesFilterAtEachStrength) {
  // Strengths outside 0..1 (and NaN) act as the nearest end.
  const float cases[][2] = {{0.0f, 0.0f}, {0.7f, 0.7f},          {1.0f, 1.0f},
                            {4.0f, 1.0f}, {std::nanf(""), 1.0f}, {-2.0f, 0.0f}};
  for (const auto& [sharpness, effective] : cases) {
    SCOPED_TRACE(sharpness);
    const Image sharpenedEdge = sharpen(stepEdge, sharpness);
    expectNear(sharpenedEdge, referenceSharpen(stepEdge, effective));
    // The edge is actually steepened: the dark side next to it gets darker.
    EXPECT_LT(sharpenedEdge.at(6, 3)[2], stepEdge.at(6, 3)[2]);
    expectNear(sharpen(noise, sharpness), referenceSharpen(noise, effective));
  }
}

TEST_F(CASProcessorTest, FlatAndSaturatedAreasPassThrough) {
  expectNear(sharpen(Image(8, 8, [](int, int) { return 0xFF25B45Au; }), 1.0f),
             Image(8, 8, [](int, int) { return 0xFF25B45Au; }));
  // Quadrants of black, pure red, pure green and white: every channel is 0 or 1 around every
  // pixel, which must not take the division-by-zero path.
  const Image pure(8, 8, [](int x, int y) {
    const uint32_t quadrant[] = {0xFF000000u, 0xFFFF0000u, 0xFF00FF00u, 0xFFFFFFFFu};
    return quadrant[(x >= 4 ? 1 : 0) + (y >= 4 ? 2 : 0)];
  });
  for (float sharpness : {0.0f, 1.0f}) expectNear(sharpen(pure, sharpness), pure);
}

TEST_F(CASProcessorTest, WritesOnlyTheFrameAreaOfAPaddedTarget) {
  const Image src(1920, 1080, [](int x, int y) {
    return 0xFF000000u | uint32_t(x & 0xFF) << 16 | uint32_t(y & 0xFF) << 8 | uint32_t((x + y) & 0xFF);
  });
  const Image marker(1920, 1088, [](int, int) { return 0x04010203u; });
  auto source = texture(src, D3D11_BIND_SHADER_RESOURCE);
  auto out = target(marker);
  ASSERT_TRUE(cas.apply(context.Get(), source.Get(), out.Get(), 1920, 1080));
  const Image result = readBack(out.Get());
  int written = 0;
  int untouched = 0;
  for (int y = 0; y < result.height; ++y) {
    for (int x = 0; x < result.width; ++x) {
      if (y < 1080) written += result.at(x, y)[3] == 255;
      if (y >= 1080) untouched += std::memcmp(result.at(x, y), marker.at(x, y), 4) == 0;
    }
  }
  EXPECT_EQ(written, 1920 * 1080);
  EXPECT_EQ(untouched, 1920 * 8);
}

TEST_F(CASProcessorTest, RestoresCallersTargetAndViewport) {
  auto callerTexture = texture(Image(64, 64), D3D11_BIND_RENDER_TARGET);
  ComPtr<ID3D11RenderTargetView> callerView;
  ASSERT_HRESULT_SUCCEEDED(device->CreateRenderTargetView(callerTexture.Get(), nullptr, &callerView));
  ID3D11RenderTargetView* views[] = {callerView.Get()};
  context->OMSetRenderTargets(1, views, nullptr);
  const D3D11_VIEWPORT callerViewport{3.0f, 5.0f, 40.0f, 30.0f, 0.25f, 0.75f};
  context->RSSetViewports(1, &callerViewport);

  auto source = texture(stepEdge, D3D11_BIND_SHADER_RESOURCE);
  auto out = target(Image(16, 8));
  ASSERT_TRUE(cas.apply(context.Get(), source.Get(), out.Get(), 16, 8));
  ComPtr<ID3D11RenderTargetView> bound;
  context->OMGetRenderTargets(1, &bound, nullptr);
  EXPECT_EQ(bound.Get(), callerView.Get());
  UINT count = 1;
  D3D11_VIEWPORT viewport{};
  context->RSGetViewports(&count, &viewport);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(std::memcmp(&viewport, &callerViewport, sizeof(viewport)), 0);
  ComPtr<ID3D11ShaderResourceView> resource;
  context->PSGetShaderResources(0, 1, &resource);
  EXPECT_FALSE(resource);

  // A caller without any viewport does not find one invented for it afterwards.
  context->ClearState();
  ASSERT_TRUE(cas.apply(context.Get(), source.Get(), out.Get(), 16, 8));
  count = 0;
  context->RSGetViewports(&count, nullptr);
  EXPECT_EQ(count, 0u);
  context->OMGetRenderTargets(1, &bound, nullptr);
  EXPECT_FALSE(bound);
}

TEST_F(CASProcessorTest, RefusesWithoutDrawingAndLogsInitialisation) {
  const Image marker(16, 8, [](int, int) { return 0x07070707u; });
  auto source = texture(stepEdge, D3D11_BIND_SHADER_RESOURCE);
  auto out = target(marker);
  cas.enabled = false;
  EXPECT_FALSE(cas.apply(context.Get(), source.Get(), out.Get(), 16, 8));
  cas.enabled = true;
  EXPECT_FALSE(cas.apply(nullptr, source.Get(), out.Get(), 16, 8));
  EXPECT_FALSE(cas.apply(context.Get(), nullptr, out.Get(), 16, 8));
  EXPECT_FALSE(cas.apply(context.Get(), source.Get(), nullptr, 16, 8));
  EXPECT_FALSE(cas.apply(context.Get(), source.Get(), out.Get(), 0, 8));

  LogCapture log;
  CASProcessor fresh;
  fresh.enabled = true;
  EXPECT_FALSE(fresh.initialize(nullptr));
  EXPECT_TRUE(log.hasLine(spdlog::level::err, "CASProcessor: No device provided"));
  EXPECT_FALSE(fresh.isAvailable());
  EXPECT_FALSE(fresh.apply(context.Get(), source.Get(), out.Get(), 16, 8));
  EXPECT_EQ(readBack(out.Get()).pixels, marker.pixels);
  ASSERT_TRUE(fresh.initialize(device.Get()));
  EXPECT_TRUE(fresh.isAvailable());
  EXPECT_TRUE(log.hasLine(spdlog::level::info, "CASProcessor initialized (sharpness=0.70)"));
}

}  // namespace
}  // namespace quorvane::host
