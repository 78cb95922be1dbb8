#pragma once

#include <d3d11.h>
#include <wrl/client.h>

// A Direct3D 11 device with BGRA support on the default adapter (under Wine: its software
// renderer), or null when none can be made.
inline Microsoft::WRL::ComPtr<ID3D11Device> createTestDevice(
    Microsoft::WRL::ComPtr<ID3D11DeviceContext>* context = nullptr) {
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> ctx;
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0};
  for (D3D_DRIVER_TYPE type : {D3D_DRIVER_TYPE_HARDWARE, D3D_DRIVER_TYPE_WARP}) {
    if (SUCCEEDED(D3D11CreateDevice(nullptr, type, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 3,
                                    D3D11_SDK_VERSION, &device, nullptr, &ctx))) {
      break;
    }
  }
  if (context) *context = ctx;
  return device;
}
