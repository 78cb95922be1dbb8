#pragma once

#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <atomic>
#include <mutex>

#include "encode/AmfApi.h"
#include "encode/CodecHeaderStore.h"
#include "encode/EncoderBase.h"

namespace quorvane::host {

// Low-latency CBR H.264/HEVC on AMD hardware through the AMF runtime, which is loaded
// at run time. Each encodeFrame submits one surface and hands on whatever output the
// component has finished.
class AmfEncoder : public EncoderBase {
 public:
  AmfEncoder() = default;
  ~AmfEncoder() override;

  AmfEncoder(const AmfEncoder&) = delete;
  AmfEncoder& operator=(const AmfEncoder&) = delete;

  const char* getName() const override { return "AMF"; }
  bool initialize(ID3D11Device* device, const EncoderConfig& config) override;
  void shutdown() override;
  bool encodeFrame(ID3D11Texture2D* texture) override;
  void requestKeyframe() override { keyframeRequested.store(true); }
  void setBitrate(uint32_t bitrateKbps, uint32_t maxBitrateKbps) override;
  void setFrameCallback(EncodedFrameCallback callback) override { frameCallback = std::move(callback); }
  EncoderStats getStats() const override;
  bool isInitialized() const override { return initialized.load(); }
  bool reconfigure(const EncoderConfig& config) override;
  CodecHeaders getCodecHeaders() const override { return headers.get(); }

 private:
  bool loadAmf();
  bool createEncoder();
  void drainOutput();
  void releaseAll();

  Microsoft::WRL::ComPtr<ID3D11Device> device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
  amf::AMFFactory* amfFactory = nullptr;
  amf::AMFContext* amfContext = nullptr;
  amf::AMFComponent* amfComponent = nullptr;
  HMODULE amfModule = nullptr;
  EncoderConfig config;
  bool isHevc = false;
  std::atomic<bool> initialized{false};
  std::atomic<bool> keyframeRequested{false};
  uint32_t frameCounter = 0;
  EncodedFrameCallback frameCallback;
  mutable std::mutex statsMutex;
  EncoderStats stats;
  CodecHeaderStore headers;
};

}  // namespace quorvane::host
