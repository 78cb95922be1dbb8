#include "capture/CASProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "support/LogCapture.h"
#include "TestDevice.h"

using quorvane::test::LogCapture;

using Microsoft::WRL::ComPtr;

namespace quorvane::host {
namespace {

// BGRA8 image, rows top-down without padding.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> pixels;

  Image(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h * 4, 0) {}
  uint8_t* at(int x, int y) { return &pixels[(static_cast<size_t>(y) * width + x) * 4]; }
  const uint8_t* at(int x, int y) const { return &pixels[(static_cast<size_t>(y) * width + x) * 4]; }
  void set(int x, int y, uint8_t r, uint8_t g, uint8_t b, uint8_t a = 255) {
    uint8_t* p = at(x, y);
    p[0] = b;
    p[1] = g;
    p[2] = r;
    p[3] = a;
  }
};

// The sharpening filter evaluated on the CPU, channel by channel, on the clamped 3 x 3
// neighbourhood. A channel whose neighbourhood is entirely 0 passes its centre through.
Image referenceSharpen(const Image& src, float sharpness) {
  Image out(src.width, src.height);
  const float peak = 8.0f - 3.0f * sharpness;
  for (int y = 0; y < src.height; ++y) {
    for (int x = 0; x < src.width; ++x) {
      for (int ch = 0; ch < 3; ++ch) {
        auto tap = [&](int dx, int dy) {
          const int sx = std::clamp(x + dx, 0, src.width - 1);
          const int sy = std::clamp(y + dy, 0, src.height - 1);
          return src.at(sx, sy)[ch] / 255.0f;
        };
        const float a = tap(-1, -1), b = tap(0, -1), c = tap(1, -1);
        const float d = tap(-1, 0), e = tap(0, 0), f = tap(1, 0);
        const float g = tap(-1, 1), h = tap(0, 1), i = tap(1, 1);
        const float mn = std::min({d, e, f, b, h});
        const float mn2 = std::min({mn, a, c, g, i});
        const float mx = std::max({d, e, f, b, h});
        const float mx2 = std::max({mx, a, c, g, i});
        const float mnRGB = mn + mn2;
        const float mxRGB = mx + mx2;
        float amp =
            mxRGB > 0.0f ? std::clamp(std::min(mnRGB, 2.0f - mxRGB) * (1.0f / mxRGB), 0.0f, 1.0f) : 0.0f;
        float w = 0.0f;
        if (amp > 0.0f) {
          amp = 1.0f / std::sqrt(amp);
          w = -1.0f / (amp * peak);
        }
        const float rcpWeight = 1.0f / (1.0f + 4.0f * w);
        const float value = std::clamp((b * w + d * w + f * w + h * w + e) * rcpWeight, 0.0f, 1.0f);
        out.at(x, y)[ch] = static_cast<uint8_t>(std::lround(value * 255.0f));
      }
      out.at(x, y)[3] = 255;
    }
  }
  return out;
}

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
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = bind;
    D3D11_SUBRESOURCE_DATA data{image.pixels.data(), static_cast<UINT>(image.width * 4), 0};
    ComPtr<ID3D11Texture2D> tex;
    EXPECT_HRESULT_SUCCEEDED(device->CreateTexture2D(&desc, &data, &tex));
    return tex;
  }

  Image readBack(ID3D11Texture2D* tex) {
    D3D11_TEXTURE2D_DESC desc{};
    tex->GetDesc(&desc);
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    ComPtr<ID3D11Texture2D> staging;
    Image image(static_cast<int>(desc.Width), static_cast<int>(desc.Height));
    if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging))) return image;
    context->CopyResource(staging.Get(), tex);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return image;
    for (int y = 0; y < image.height; ++y) {
      std::memcpy(image.at(0, y),
                  static_cast<const uint8_t*>(mapped.pData) + static_cast<size_t>(y) * mapped.RowPitch,
                  static_cast<size_t>(image.width) * 4);
    }
    context->Unmap(staging.Get(), 0);
    return image;
  }

  // Sharpens `src` into a fresh target of the same size and returns the target's pixels.
  Image sharpen(const Image& src, float sharpness) {
    cas.sharpness = sharpness;
    auto source = texture(src, D3D11_BIND_SHADER_RESOURCE);
    auto target =
        texture(Image(src.width, src.height), D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);
    EXPECT_TRUE(cas.apply(context.Get(), source.Get(), target.Get(), src.width, src.height));
    return readBack(target.Get());
  }

  static void expectNear(const Image& actual, const Image& expected, const char* what) {
    int mismatches = 0;
    for (int y = 0; y < expected.height; ++y) {
      for (int x = 0; x < expected.width; ++x) {
        for (int ch = 0; ch < 4; ++ch) {
          const int diff = std::abs(actual.at(x, y)[ch] - expected.at(x, y)[ch]);
          if (diff > 1 && mismatches++ < 5) {
            ADD_FAILURE() << what << ": pixel (" << x << ", " << y << ") channel " << ch << " is "
                          << int(actual.at(x, y)[ch]) << ", expected " << int(expected.at(x, y)[ch]);
          }
        }
      }
    }
    EXPECT_EQ(mismatches, 0) << what;
  }

  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  CASProcessor cas;
};

Image stepEdge() {
  Image image(16, 8);
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      const bool right = x >= 7;
      image.set(x, y, right ? 204 : 51, right ? 90 : 160, right ? 30 : 31);
    }
  }
  return image;
}

Image noise() {
  Image image(24, 16);
  uint32_t state = 12345;
  for (auto& p : image.pixels) {
    state = state * 1664525u + 1013904223u;
    p = static_cast<uint8_t>(state >> 24);
  }
  return image;
}

TEST_F(CASProcessorTest, MatchesFilterAtEachStrength) {
  for (float sharpness : {0.0f, 0.7f, 1.0f}) {
    SCOPED_TRACE(sharpness);
    const Image edge = stepEdge();
    const Image sharpenedEdge = sharpen(edge, sharpness);
    expectNear(sharpenedEdge, referenceSharpen(edge, sharpness), "step edge");
    // The edge is actually steepened: the dark side next to it gets darker.
    EXPECT_LT(sharpenedEdge.at(6, 3)[2], edge.at(6, 3)[2]);

    const Image random = noise();
    expectNear(sharpen(random, sharpness), referenceSharpen(random, sharpness), "noise");
  }
}

TEST_F(CASProcessorTest, StrengthOutsideRangeIsClamped) {
  const Image edge = stepEdge();
  const Image strongest = referenceSharpen(edge, 1.0f);
  expectNear(sharpen(edge, 4.0f), strongest, "strength 4");
  expectNear(sharpen(edge, std::nanf("")), strongest, "strength NaN");
  expectNear(sharpen(edge, -2.0f), referenceSharpen(edge, 0.0f), "strength -2");
}

TEST_F(CASProcessorTest, FlatAndSaturatedAreasPassThrough) {
  Image uniform(8, 8);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) uniform.set(x, y, 37, 180, 90);
  }
  expectNear(sharpen(uniform, 1.0f), uniform, "uniform");

  // Quadrants of black, pure red, pure green and white: every channel is 0 or 1 around every
  // pixel, which must not take the division-by-zero path.
  Image pure(8, 8);
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      if (x < 4 && y < 4) pure.set(x, y, 0, 0, 0);
      if (x >= 4 && y < 4) pure.set(x, y, 255, 0, 0);
      if (x < 4 && y >= 4) pure.set(x, y, 0, 255, 0);
      if (x >= 4 && y >= 4) pure.set(x, y, 255, 255, 255);
    }
  }
  for (float sharpness : {0.0f, 1.0f}) {
    expectNear(sharpen(pure, sharpness), pure, "pure colours");
  }
}

TEST_F(CASProcessorTest, WritesOnlyTheFrameAreaOfAPaddedTarget) {
  Image src(1920, 1080);
  for (int y = 0; y < src.height; ++y) {
    for (int x = 0; x < src.width; ++x) src.set(x, y, x & 0xFF, y & 0xFF, (x + y) & 0xFF);
  }
  Image marker(1920, 1088);
  for (int y = 0; y < marker.height; ++y) {
    for (int x = 0; x < marker.width; ++x) marker.set(x, y, 1, 2, 3, 4);
  }
  auto source = texture(src, D3D11_BIND_SHADER_RESOURCE);
  auto target = texture(marker, D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);
  ASSERT_TRUE(cas.apply(context.Get(), source.Get(), target.Get(), 1920, 1080));
  const Image out = readBack(target.Get());

  int written = 0;
  int untouched = 0;
  for (int y = 0; y < out.height; ++y) {
    for (int x = 0; x < out.width; ++x) {
      const uint8_t* p = out.at(x, y);
      if (y < 1080) written += p[3] == 255;
      if (y >= 1080) untouched += std::memcmp(p, marker.at(x, y), 4) == 0;
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

  const Image src = stepEdge();
  auto source = texture(src, D3D11_BIND_SHADER_RESOURCE);
  auto target = texture(Image(16, 8), D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);
  ASSERT_TRUE(cas.apply(context.Get(), source.Get(), target.Get(), 16, 8));

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
  ASSERT_TRUE(cas.apply(context.Get(), source.Get(), target.Get(), 16, 8));
  count = 0;
  context->RSGetViewports(&count, nullptr);
  EXPECT_EQ(count, 0u);
  context->OMGetRenderTargets(1, &bound, nullptr);
  EXPECT_FALSE(bound);
}

TEST_F(CASProcessorTest, RefusesWithoutDrawing) {
  const Image src = stepEdge();
  Image marker(16, 8);
  for (auto& p : marker.pixels) p = 7;
  auto source = texture(src, D3D11_BIND_SHADER_RESOURCE);
  auto target = texture(marker, D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET);

  cas.enabled = false;
  EXPECT_FALSE(cas.apply(context.Get(), source.Get(), target.Get(), 16, 8));
  cas.enabled = true;
  EXPECT_FALSE(cas.apply(nullptr, source.Get(), target.Get(), 16, 8));
  EXPECT_FALSE(cas.apply(context.Get(), nullptr, target.Get(), 16, 8));
  EXPECT_FALSE(cas.apply(context.Get(), source.Get(), nullptr, 16, 8));
  EXPECT_FALSE(cas.apply(context.Get(), source.Get(), target.Get(), 0, 8));

  CASProcessor uninitialised;
  uninitialised.enabled = true;
  EXPECT_FALSE(uninitialised.isAvailable());
  EXPECT_FALSE(uninitialised.apply(context.Get(), source.Get(), target.Get(), 16, 8));

  EXPECT_EQ(readBack(target.Get()).pixels, marker.pixels);
}

TEST(CASProcessorInitTest, LogsStrengthOrMissingDevice) {
  auto device = createTestDevice();
  ASSERT_TRUE(device);
  LogCapture log;
  CASProcessor cas;
  EXPECT_FALSE(cas.initialize(nullptr));
  EXPECT_TRUE(log.hasLine(spdlog::level::err, "CASProcessor: No device provided"));
  EXPECT_FALSE(cas.isAvailable());
  ASSERT_TRUE(cas.initialize(device.Get()));
  EXPECT_TRUE(cas.isAvailable());
  EXPECT_TRUE(log.hasLine(spdlog::level::info, "CASProcessor initialized (sharpness=0.70)"));
}

}  // namespace
}  // namespace quorvane::host
