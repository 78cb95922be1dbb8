#pragma once

#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <nvEncodeAPI.h>

#include <mutex>
#include <vector>

#include "encode/CodecHeaderStore.h"
#include "encode/EncoderBase.h"

namespace quorvane::host {

// Low-latency CBR H.264/HEVC on NVIDIA hardware through the NVENC runtime, which is
// loaded at run time. Synchronous: encodeFrame hands on the frame it submitted.
class NvencEncoder : public EncoderBase {
 public:
  NvencEncoder();
  ~NvencEncoder() override;

  NvencEncoder(const NvencEncoder&) = delete;
  NvencEncoder& operator=(const NvencEncoder&) = delete;

  const char* getName() const override { return "NVENC"; }
  bool initialize(ID3D11Device* device, const EncoderConfig& config) override;
  void shutdown() override;
  bool encodeFrame(ID3D11Texture2D* texture) override;
  void requestKeyframe() override { keyframeRequested = true; }
  void setBitrate(uint32_t bitrateKbps, uint32_t maxBitrateKbps) override;
  void setFrameCallback(EncodedFrameCallback callback) override { frameCallback = std::move(callback); }
  EncoderStats getStats() const override;
  bool isInitialized() const override { return initialized; }
  bool reconfigure(const EncoderConfig& config) override;
  CodecHeaders getCodecHeaders() const override { return headers.get(); }

 private:
  struct InputResource {
    NV_ENC_INPUT_PTR mappedResource = nullptr;
    NV_ENC_REGISTERED_PTR registeredResource = nullptr;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
    bool mapped = false;
  };
  struct BitstreamBuffer {
    NV_ENC_OUTPUT_PTR outputBuffer = nullptr;
    std::vector<uint8_t> data;
  };

  bool loadNvenc();
  bool createEncoder();
  bool createBuffers();
  bool processOutput(uint32_t slot);
  void releaseResources();
  void fillInitializeParams(NV_ENC_INITIALIZE_PARAMS& params, NV_ENC_CONFIG* encodeConfig) const;

  Microsoft::WRL::ComPtr<ID3D11Device> device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
  HMODULE nvencModule = nullptr;
  NV_ENCODE_API_FUNCTION_LIST functionList{};
  void* encoderHandle = nullptr;
  EncoderConfig config;
  NV_ENC_CONFIG nvencConfig{};
  GUID encodeGuid;
  GUID presetGuid;
  std::vector<InputResource> inputResources;
  std::vector<BitstreamBuffer> bitstreamBuffers;
  uint32_t ringIndex = 0;
  bool initialized = false;
  bool keyframeRequested = false;
  uint32_t frameCounter = 0;
  EncodedFrameCallback frameCallback;
  mutable std::mutex statsMutex;
  EncoderStats stats;
  CodecHeaderStore headers;
};

}  // namespace quorvane::host
