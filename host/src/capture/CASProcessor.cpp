#include "capture/CASProcessor.h"

#include <d3dcompiler.h>

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <string>

#include <spdlog/spdlog.h>

using Microsoft::WRL::ComPtr;

namespace quorvane::host {

namespace {

struct QuadVertex {
  float x, y;
  float u, v;
};

struct CASParams {
  float sharpness;
  float texelSizeX;
  float texelSizeY;
  float padding;
};
static_assert(sizeof(QuadVertex) == 16);
static_assert(sizeof(CASParams) == 16);

constexpr QuadVertex kQuad[4] = {
    {-1.0f, 1.0f, 0.0f, 0.0f},
    {1.0f, 1.0f, 1.0f, 0.0f},
    {-1.0f, -1.0f, 0.0f, 1.0f},
    {1.0f, -1.0f, 1.0f, 1.0f},
};

constexpr char kVertexShader[] = R"(
struct VSInput {
  float2 position : POSITION;
  float2 texcoord : TEXCOORD0;
};

struct VSOutput {
  float4 position : SV_POSITION;
  float2 texcoord : TEXCOORD0;
};

VSOutput main(VSInput input) {
  VSOutput output;
  output.position = float4(input.position, 0.0, 1.0);
  output.texcoord = input.texcoord;
  return output;
}
)";

// Written without rcp/rsqrt/sqrt so that every HLSL compiler we meet accepts it. The weight
// -1 / (rsqrt(amp) * peak) is computed as -sqrt(amp) / peak, which is the same value but has no
// infinity when amp is 0, and a channel whose whole neighbourhood is black (maximum 0) gets
// amp 0 instead of 0 / 0: its weight is 0 and the centre passes through.
constexpr char kPixelShader[] = R"(
cbuffer CASParams : register(b0) {
  float sharpness;
  float texelSizeX;
  float texelSizeY;
  float padding;
};

Texture2D sourceTexture : register(t0);
SamplerState linearClamp : register(s0);

struct PSInput {
  float4 position : SV_POSITION;
  float2 texcoord : TEXCOORD0;
};

float4 main(PSInput input) : SV_TARGET {
  float2 uv = input.texcoord;
  float2 t = float2(texelSizeX, texelSizeY);
  float3 a = sourceTexture.Sample(linearClamp, uv + float2(-t.x, -t.y)).rgb;
  float3 b = sourceTexture.Sample(linearClamp, uv + float2(0.0, -t.y)).rgb;
  float3 c = sourceTexture.Sample(linearClamp, uv + float2(t.x, -t.y)).rgb;
  float3 d = sourceTexture.Sample(linearClamp, uv + float2(-t.x, 0.0)).rgb;
  float3 e = sourceTexture.Sample(linearClamp, uv).rgb;
  float3 f = sourceTexture.Sample(linearClamp, uv + float2(t.x, 0.0)).rgb;
  float3 g = sourceTexture.Sample(linearClamp, uv + float2(-t.x, t.y)).rgb;
  float3 h = sourceTexture.Sample(linearClamp, uv + float2(0.0, t.y)).rgb;
  float3 i = sourceTexture.Sample(linearClamp, uv + float2(t.x, t.y)).rgb;

  float3 mn = min(min(min(d, e), min(f, b)), h);
  float3 mn2 = min(mn, min(min(a, c), min(g, i)));
  float3 mnRGB = mn + mn2;
  float3 mx = max(max(max(d, e), max(f, b)), h);
  float3 mx2 = max(mx, max(max(a, c), max(g, i)));
  float3 mxRGB = mx + mx2;

  float3 amp = saturate(min(mnRGB, 2.0 - mxRGB) / max(mxRGB, 1.0e-6));
  float3 rootAmp = pow(max(amp, 1.0e-20), 0.5);
  float peak = 8.0 - 3.0 * sharpness;
  float3 w = -rootAmp / peak;
  float3 rcpWeight = 1.0 / (1.0 + 4.0 * w);

  float3 colour = saturate((b * w + d * w + f * w + h * w + e) * rcpWeight);
  return float4(colour, 1.0);
}
)";

constexpr UINT kCompileFlags = D3DCOMPILE_OPTIMIZATION_LEVEL3;

unsigned hr32(HRESULT hr) { return static_cast<unsigned>(hr); }

std::string blobText(ID3DBlob* blob) {
  if (!blob || blob->GetBufferSize() == 0) return {};
  std::string text(static_cast<const char*>(blob->GetBufferPointer()), blob->GetBufferSize());
  while (!text.empty() && (text.back() == '\0' || text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return text;
}

}  // namespace

bool CASProcessor::compileShaders(ID3D11Device* device) {
  ComPtr<ID3DBlob> code;
  ComPtr<ID3DBlob> errors;
  HRESULT hr = D3DCompile(kVertexShader, sizeof(kVertexShader) - 1, "CAS_VS", nullptr, nullptr, "main",
                          "vs_4_0", kCompileFlags, 0, &code, &errors);
  if (FAILED(hr)) {
    if (errors) SPDLOG_ERROR("CASProcessor: VS compile error: {}", blobText(errors.Get()));
    return false;
  }
  vertexShader.Reset();
  hr = device->CreateVertexShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &vertexShader);
  if (FAILED(hr)) {
    SPDLOG_ERROR("CASProcessor: Failed to create vertex shader: {:#x}", hr32(hr));
    return false;
  }

  const D3D11_INPUT_ELEMENT_DESC layout[] = {
      {"POSITION", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 0, D3D11_INPUT_PER_VERTEX_DATA, 0},
      {"TEXCOORD", 0, DXGI_FORMAT_R32G32_FLOAT, 0, 8, D3D11_INPUT_PER_VERTEX_DATA, 0},
  };
  inputLayout.Reset();
  hr = device->CreateInputLayout(layout, 2, code->GetBufferPointer(), code->GetBufferSize(), &inputLayout);
  if (FAILED(hr)) {
    SPDLOG_ERROR("CASProcessor: Failed to create input layout: {:#x}", hr32(hr));
    return false;
  }

  code.Reset();
  errors.Reset();
  hr = D3DCompile(kPixelShader, sizeof(kPixelShader) - 1, "CAS_PS", nullptr, nullptr, "main", "ps_4_0",
                  kCompileFlags, 0, &code, &errors);
  if (FAILED(hr)) {
    if (errors) SPDLOG_ERROR("CASProcessor: PS compile error: {}", blobText(errors.Get()));
    return false;
  }
  pixelShader.Reset();
  hr = device->CreatePixelShader(code->GetBufferPointer(), code->GetBufferSize(), nullptr, &pixelShader);
  if (FAILED(hr)) {
    SPDLOG_ERROR("CASProcessor: Failed to create pixel shader: {:#x}", hr32(hr));
    return false;
  }
  return true;
}

bool CASProcessor::initialize(ID3D11Device* device) {
  if (!device) {
    SPDLOG_ERROR("CASProcessor: No device provided");
    return false;
  }
  if (!compileShaders(device)) return false;

  D3D11_BUFFER_DESC cbDesc{};
  cbDesc.ByteWidth = sizeof(CASParams);
  cbDesc.Usage = D3D11_USAGE_DYNAMIC;
  cbDesc.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
  cbDesc.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
  constantBuffer.Reset();
  HRESULT hr = device->CreateBuffer(&cbDesc, nullptr, &constantBuffer);
  if (FAILED(hr)) {
    SPDLOG_ERROR("CASProcessor: Failed to create constant buffer: {:#x}", hr32(hr));
    return false;
  }

  D3D11_SAMPLER_DESC samplerDesc{};
  samplerDesc.Filter = D3D11_FILTER_MIN_MAG_MIP_LINEAR;
  samplerDesc.AddressU = D3D11_TEXTURE_ADDRESS_CLAMP;
  samplerDesc.AddressV = D3D11_TEXTURE_ADDRESS_CLAMP;
  samplerDesc.AddressW = D3D11_TEXTURE_ADDRESS_CLAMP;
  samplerDesc.MinLOD = 0.0f;
  samplerDesc.MaxLOD = FLT_MAX;
  sampler.Reset();
  hr = device->CreateSamplerState(&samplerDesc, &sampler);
  if (FAILED(hr)) {
    SPDLOG_ERROR("CASProcessor: Failed to create sampler: {:#x}", hr32(hr));
    return false;
  }

  // A state that cannot be created stays null and the device default is bound in its place.
  D3D11_BLEND_DESC blendDesc{};
  blendDesc.RenderTarget[0].BlendEnable = FALSE;
  blendDesc.RenderTarget[0].RenderTargetWriteMask = D3D11_COLOR_WRITE_ENABLE_ALL;
  blendState.Reset();
  device->CreateBlendState(&blendDesc, &blendState);

  D3D11_RASTERIZER_DESC rasterDesc{};
  rasterDesc.FillMode = D3D11_FILL_SOLID;
  rasterDesc.CullMode = D3D11_CULL_NONE;
  rasterizerState.Reset();
  device->CreateRasterizerState(&rasterDesc, &rasterizerState);

  D3D11_DEPTH_STENCIL_DESC depthDesc{};
  depthStencilState.Reset();
  device->CreateDepthStencilState(&depthDesc, &depthStencilState);

  D3D11_BUFFER_DESC vbDesc{};
  vbDesc.ByteWidth = sizeof(kQuad);
  vbDesc.Usage = D3D11_USAGE_IMMUTABLE;
  vbDesc.BindFlags = D3D11_BIND_VERTEX_BUFFER;
  D3D11_SUBRESOURCE_DATA vbData{};
  vbData.pSysMem = kQuad;
  vertexBuffer.Reset();
  hr = device->CreateBuffer(&vbDesc, &vbData, &vertexBuffer);
  if (FAILED(hr)) {
    SPDLOG_ERROR("CASProcessor: Failed to create vertex buffer: {:#x}", hr32(hr));
    return false;
  }

  available = true;
  SPDLOG_INFO("CASProcessor initialized (sharpness={:.2f})", sharpness.load());
  return true;
}

bool CASProcessor::apply(ID3D11DeviceContext* context, ID3D11Texture2D* source, ID3D11Texture2D* target,
                         uint32_t width, uint32_t height) {
  if (!available || !enabled.load() || !context || !source || !target) return false;
  // A zero size would make the texel size infinite and the viewport empty.
  if (width == 0 || height == 0) return false;

  ComPtr<ID3D11Device> device;
  context->GetDevice(&device);
  if (!device) return false;

  D3D11_SHADER_RESOURCE_VIEW_DESC srvDesc{};
  srvDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  srvDesc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
  srvDesc.Texture2D.MostDetailedMip = 0;
  srvDesc.Texture2D.MipLevels = 1;
  ComPtr<ID3D11ShaderResourceView> inputView;
  HRESULT hr = device->CreateShaderResourceView(source, &srvDesc, &inputView);
  if (FAILED(hr)) {
    SPDLOG_WARN("CASProcessor: Failed to create input SRV: {:#x}", hr32(hr));
    return false;
  }

  D3D11_RENDER_TARGET_VIEW_DESC rtvDesc{};
  rtvDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  rtvDesc.ViewDimension = D3D11_RTV_DIMENSION_TEXTURE2D;
  rtvDesc.Texture2D.MipSlice = 0;
  ComPtr<ID3D11RenderTargetView> outputView;
  hr = device->CreateRenderTargetView(target, &rtvDesc, &outputView);
  if (FAILED(hr)) {
    SPDLOG_WARN("CASProcessor: Failed to create output RTV: {:#x}", hr32(hr));
    return false;
  }

  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (SUCCEEDED(context->Map(constantBuffer.Get(), 0, D3D11_MAP_WRITE_DISCARD, 0, &mapped))) {
    // Outside [0, 1] the centre weight could reach 0 and the output infinity; NaN counts as 1.
    const float strength = std::max(0.0f, std::min(1.0f, sharpness.load()));
    const CASParams params{strength, 1.0f / static_cast<float>(width), 1.0f / static_cast<float>(height),
                           0.0f};
    std::memcpy(mapped.pData, &params, sizeof(params));
    context->Unmap(constantBuffer.Get(), 0);
  }

  // The caller's output state, put back after the draw. Only as many viewports as were bound
  // are restored, so a context without viewport does not get an undefined one.
  ComPtr<ID3D11RenderTargetView> savedTarget;
  ComPtr<ID3D11DepthStencilView> savedDepth;
  context->OMGetRenderTargets(1, &savedTarget, &savedDepth);
  UINT savedViewportCount = 0;
  context->RSGetViewports(&savedViewportCount, nullptr);
  D3D11_VIEWPORT savedViewport{};
  if (savedViewportCount > 0) {
    savedViewportCount = 1;
    context->RSGetViewports(&savedViewportCount, &savedViewport);
  }

  const UINT stride = sizeof(QuadVertex);
  const UINT offset = 0;
  ID3D11Buffer* vb = vertexBuffer.Get();
  ID3D11Buffer* cb = constantBuffer.Get();
  ID3D11ShaderResourceView* srv = inputView.Get();
  ID3D11SamplerState* samplerState = sampler.Get();
  ID3D11RenderTargetView* rtv = outputView.Get();
  context->IASetInputLayout(inputLayout.Get());
  context->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLESTRIP);
  context->IASetVertexBuffers(0, 1, &vb, &stride, &offset);
  context->VSSetShader(vertexShader.Get(), nullptr, 0);
  context->PSSetShader(pixelShader.Get(), nullptr, 0);
  context->PSSetConstantBuffers(0, 1, &cb);
  context->PSSetShaderResources(0, 1, &srv);
  context->PSSetSamplers(0, 1, &samplerState);
  context->OMSetBlendState(blendState.Get(), nullptr, 0xFFFFFFFFu);
  context->OMSetDepthStencilState(depthStencilState.Get(), 0);
  context->RSSetState(rasterizerState.Get());
  context->OMSetRenderTargets(1, &rtv, nullptr);
  D3D11_VIEWPORT viewport{};
  viewport.TopLeftX = 0.0f;
  viewport.TopLeftY = 0.0f;
  viewport.Width = static_cast<float>(width);
  viewport.Height = static_cast<float>(height);
  viewport.MinDepth = 0.0f;
  viewport.MaxDepth = 1.0f;
  context->RSSetViewports(1, &viewport);

  context->Draw(4, 0);

  ID3D11ShaderResourceView* nullView = nullptr;
  context->PSSetShaderResources(0, 1, &nullView);
  ID3D11RenderTargetView* restoredTarget = savedTarget.Get();
  context->OMSetRenderTargets(1, &restoredTarget, savedDepth.Get());
  context->RSSetViewports(savedViewportCount, savedViewportCount > 0 ? &savedViewport : nullptr);
  return true;
}

}  // namespace quorvane::host
