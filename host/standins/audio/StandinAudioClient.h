#pragma once

#include <windows.h>

#include <audioclient.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>

namespace quorvane::host {

// An audio client in front of the real one, numbered by StandinAudioControl. It passes its
// calls through while its endpoint is there. Once StandinAudioControl says the endpoint is
// lost, every call reports the loss and the stream's event is signalled only if the lost
// stream is one that goes on signalling: the event that the capture hands in is set from a
// thread-pool wait on an event of the client's own, which the real client signals. The
// capture client it hands out is a StandinCaptureClient with the same number. Used from any
// thread, like the real client.
class StandinAudioClient final : public IAudioClient {
 public:
  explicit StandinAudioClient(Microsoft::WRL::ComPtr<IAudioClient> real);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME bufferDuration,
                                       REFERENCE_TIME periodicity, const WAVEFORMATEX* format,
                                       LPCGUID session) override;
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override;
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override;
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override;
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* format,
                                              WAVEFORMATEX** closest) override;
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override;
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* defaultPeriod,
                                            REFERENCE_TIME* minimumPeriod) override;
  HRESULT STDMETHODCALLTYPE Start() override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override;
  HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override;

 private:
  ~StandinAudioClient();

  // The loss that this client's calls report, or S_OK.
  HRESULT lost() const;
  // Runs on a thread-pool thread whenever the real client signals.
  static void CALLBACK relaySignal(void* context, BOOLEAN timedOut);

  Microsoft::WRL::ComPtr<IAudioClient> real;
  const uint64_t serial;
  std::atomic<ULONG> references{1};
  HANDLE ownEvent = nullptr;      // signalled by the real client
  HANDLE captureEvent = nullptr;  // a duplicate of the event handed in, set by the relay
  HANDLE relayWait = nullptr;
};

}  // namespace quorvane::host
