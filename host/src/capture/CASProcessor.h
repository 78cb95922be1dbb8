#pragma once

#include <d3d11.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>

namespace quorvane::host {

// Contrast-adaptive sharpening of a BGRA frame on the GPU: one full-target draw of a quad whose
// pixel shader reads the 3 x 3 neighbourhood of each source pixel.
//
// `initialize` runs once on the main thread before any capture starts; `apply` runs on a capture
// thread with the device's immediate context. `enabled` and `sharpness` may be written from any
// thread at any time.
class CASProcessor {
 public:
  CASProcessor() = default;
  ~CASProcessor() = default;
  CASProcessor(const CASProcessor&) = delete;
  CASProcessor& operator=(const CASProcessor&) = delete;

  // Compiles the shaders and creates every pipeline object. True when sharpening can be applied.
  bool initialize(ID3D11Device* device);

  // Sharpens `source` (width x height, B8G8R8A8_UNORM, shader-resource binding) into the top-left
  // width x height of `target` (at least that size, same format, render-target binding). The
  // context's first render target, its depth-stencil view and first viewport are restored
  // afterwards. True when the draw was issued; false (drawing nothing) when not initialised, not
  // enabled, given a null argument or a zero size, or when a view cannot be created.
  bool apply(ID3D11DeviceContext* context, ID3D11Texture2D* source, ID3D11Texture2D* target, uint32_t width,
             uint32_t height);

  bool isAvailable() const { return available; }

  // Sharpening switch; the caller sets it directly.
  std::atomic<bool> enabled{false};
  // Strength in [0, 1] (0 weakest, 1 strongest); the caller clamps before storing.
  std::atomic<float> sharpness{0.7f};

 private:
  bool compileShaders(ID3D11Device* device);

  Microsoft::WRL::ComPtr<ID3D11VertexShader> vertexShader;
  Microsoft::WRL::ComPtr<ID3D11PixelShader> pixelShader;
  Microsoft::WRL::ComPtr<ID3D11InputLayout> inputLayout;
  Microsoft::WRL::ComPtr<ID3D11Buffer> vertexBuffer;
  Microsoft::WRL::ComPtr<ID3D11Buffer> constantBuffer;
  Microsoft::WRL::ComPtr<ID3D11SamplerState> sampler;
  Microsoft::WRL::ComPtr<ID3D11BlendState> blendState;
  Microsoft::WRL::ComPtr<ID3D11RasterizerState> rasterizerState;
  Microsoft::WRL::ComPtr<ID3D11DepthStencilState> depthStencilState;
  bool available = false;
};

}  // namespace quorvane::host
