#pragma once

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace quorvane::test {

// A multithread-protected device with BGRA support on the default adapter (under Wine: its
// software renderer), or null when none can be made.
inline Microsoft::WRL::ComPtr<ID3D11Device> createTestDevice(
    Microsoft::WRL::ComPtr<ID3D11DeviceContext>* context = nullptr) {
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> ctx;
  Microsoft::WRL::ComPtr<ID3D10Multithread> multithread;
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1};
  for (D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
    if (SUCCEEDED(D3D11CreateDevice(nullptr, type, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 3,
                                    D3D11_SDK_VERSION, &device, nullptr, &ctx))) {
      break;
    }
  }
  if (ctx && SUCCEEDED(ctx.As(&multithread))) multithread->SetMultithreadProtected(TRUE);
  if (context) *context = ctx;
  return device;
}

// The top-left width x height (0: the whole texture) of a BGRA texture, as 0xAARRGGBB values;
// empty when it cannot be read.
inline std::vector<uint32_t> readTexture(ID3D11Texture2D* texture, uint32_t width = 0, uint32_t height = 0) {
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging;
  texture->GetDevice(&device);
  device->GetImmediateContext(&context);
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  width = width != 0 ? width : desc.Width;
  height = height != 0 ? height : desc.Height;
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = desc.MiscFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging))) return {};
  context->CopyResource(staging.Get(), texture);
  if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) return {};
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
  for (uint32_t y = 0; y < height; ++y) {
    std::memcpy(&pixels[static_cast<size_t>(y) * width],
                static_cast<const uint8_t*>(mapped.pData) + static_cast<size_t>(y) * mapped.RowPitch,
                size_t{width} * 4);
  }
  context->Unmap(staging.Get(), 0);
  return pixels;
}

}  // namespace quorvane::test
