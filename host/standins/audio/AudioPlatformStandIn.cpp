#include "audio/AudioPlatform.h"

#include <wrl/client.h>

#include <utility>

#include "StandinAudioControl.h"
#include "StandinAudioClient.h"

// Wine opens the render endpoint in loopback but refuses its capture client. This
// stand-in records the default capture endpoint in its place, through the same calls.
// Under Wine's PulseAudio driver that endpoint names no device of the sound server: it
// records the client's default source, which the scripts that start the host and the
// tests set to the server's monitor of its default sink ("@DEFAULT_MONITOR@"). It then
// hears what the PC plays, as loopback capture does, and not the microphone. (The
// driver's default render endpoint names no sink either, so the monitor cannot be picked
// among the capture endpoints by the render endpoint's name.)
// The tests steer it through StandinAudioControl: the endpoint can be missing for a while,
// and the audio client it hands out, with its capture client, stands in front of the real
// one, so that its endpoint can be lost as real endpoints are.
namespace quorvane::host::AudioPlatform {

HRESULT getDefaultEndpoint(IMMDeviceEnumerator* enumerator, bool, IMMDevice** device) {
  if (!StandinAudioControl::endpointAvailable()) {
    *device = nullptr;
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);  // what the enumerator reports without a device
  }
  return enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, device);
}

HRESULT activateClient(IMMDevice* device, IAudioClient** client) {
  Microsoft::WRL::ComPtr<IAudioClient> real;
  const HRESULT hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                      reinterpret_cast<void**>(real.GetAddressOf()));
  if (FAILED(hr)) {
    *client = nullptr;
    return hr;
  }
  *client = new StandinAudioClient(std::move(real));
  return S_OK;
}

HRESULT initializeStream(IAudioClient* client, bool, const WAVEFORMATEX* format) {
  constexpr REFERENCE_TIME kBufferDuration = 200000;  // 20 ms in 100 ns units
  return client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, kBufferDuration, 0,
                            format, nullptr);
}

HRESULT getCaptureClient(IAudioClient* client, IAudioCaptureClient** captureClient) {
  // The stand-in audio client hands out its own capture client.
  return client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(captureClient));
}

}  // namespace quorvane::host::AudioPlatform
