#include "encode/EncoderFactory.h"

#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <algorithm>

#include <spdlog/spdlog.h>

#include "encode/AmfEncoder.h"
#include "encode/NvencEncoder.h"

namespace quorvane::host {

namespace {

constexpr UINT kVendorNvidia = 0x10DE;
constexpr UINT kVendorAmd = 0x1002;

bool runtimeLoads(const wchar_t* library) {
  HMODULE module = LoadLibraryW(library);
  if (module == nullptr) {
    return false;
  }
  FreeLibrary(module);
  return true;
}

}  // namespace

std::vector<EncoderType> EncoderFactory::getAvailableEncoders(ID3D11Device* device) {
  std::vector<EncoderType> available;
  Microsoft::WRL::ComPtr<IDXGIDevice> dxgiDevice;
  Microsoft::WRL::ComPtr<IDXGIAdapter> adapter;
  DXGI_ADAPTER_DESC desc{};
  if (device != nullptr && SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(&dxgiDevice))) &&
      SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) && SUCCEEDED(adapter->GetDesc(&desc))) {
    if (desc.VendorId == kVendorNvidia && runtimeLoads(L"nvEncodeAPI64.dll")) {
      available.push_back(EncoderType::NVENC);
      SPDLOG_INFO("NVENC encoder available");
    }
    if (desc.VendorId == kVendorAmd && runtimeLoads(L"amfrt64.dll")) {
      available.push_back(EncoderType::AMF);
      SPDLOG_INFO("AMF encoder available");
    }
  }
  if (available.empty()) {
    SPDLOG_WARN("No hardware encoders available");
  }
  return available;
}

std::unique_ptr<EncoderBase> EncoderFactory::createEncoder(EncoderType type, ID3D11Device* device,
                                                           const EncoderConfig& config) {
  std::unique_ptr<EncoderBase> encoder;
  switch (type) {
    case EncoderType::NVENC:
      encoder = std::make_unique<NvencEncoder>();
      break;
    case EncoderType::AMF:
      encoder = std::make_unique<AmfEncoder>();
      break;
    default:
      SPDLOG_ERROR("Encoder type {} not available", encoderTypeName(type));
      return nullptr;
  }
  if (!encoder->initialize(device, config)) {
    SPDLOG_ERROR("Failed to initialize {} encoder", encoderTypeName(type));
    return nullptr;
  }
  SPDLOG_INFO("Created {} encoder", encoderTypeName(type));
  return encoder;
}

std::unique_ptr<EncoderBase> EncoderFactory::createBestEncoder(ID3D11Device* device,
                                                               const EncoderConfig& config) {
  const auto available = getAvailableEncoders(device);
  for (EncoderType type : {EncoderType::NVENC, EncoderType::AMF, EncoderType::QuickSync}) {
    if (std::find(available.begin(), available.end(), type) == available.end()) {
      continue;
    }
    auto encoder = createEncoder(type, device, config);
    if (encoder && encoder->isInitialized()) {
      return encoder;
    }
  }
  SPDLOG_ERROR("Failed to create any hardware encoder");
  return nullptr;
}

}  // namespace quorvane::host
