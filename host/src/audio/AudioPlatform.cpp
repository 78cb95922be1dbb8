#include "audio/AudioPlatform.h"

namespace quorvane::host::AudioPlatform {

namespace {
constexpr REFERENCE_TIME kBufferDuration = 200000;  // 20 ms in 100 ns units
}

HRESULT getDefaultEndpoint(IMMDeviceEnumerator* enumerator, bool loopback, IMMDevice** device) {
  return enumerator->GetDefaultAudioEndpoint(loopback ? eRender : eCapture, eConsole, device);
}

HRESULT activateClient(IMMDevice* device, IAudioClient** client) {
  return device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(client));
}

HRESULT initializeStream(IAudioClient* client, bool loopback, const WAVEFORMATEX* format) {
  DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
  if (loopback) {
    flags |= AUDCLNT_STREAMFLAGS_LOOPBACK;
  }
  return client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0, format, nullptr);
}

HRESULT getCaptureClient(IAudioClient* client, IAudioCaptureClient** captureClient) {
  return client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(captureClient));
}

}  // namespace quorvane::host::AudioPlatform
