#pragma once

#include <windows.h>

#include <audioclient.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>

namespace quorvane::host {

// A capture client in front of the real one: passes its calls through, except for what
// StandinAudioControl tells it (a lost endpoint, failures, packets flagged silent) about the
// audio client `serial` that handed it out. Used on whichever thread the capture calls it
// from, like the real client.
class StandinCaptureClient final : public IAudioCaptureClient {
 public:
  StandinCaptureClient(Microsoft::WRL::ComPtr<IAudioCaptureClient> real, uint64_t serial);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                      UINT64* counterPosition) override;
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override;
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override;

 private:
  ~StandinCaptureClient() = default;

  Microsoft::WRL::ComPtr<IAudioCaptureClient> real;
  const uint64_t serial;
  std::atomic<ULONG> references{1};
};

}  // namespace quorvane::host
