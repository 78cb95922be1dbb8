#include "audio/AudioPlatform.h"

// Wine opens the render endpoint in loopback but refuses its capture client. This
// stand-in records the default capture endpoint in its place, through the same calls;
// with a PulseAudio null sink as the default sink and its monitor as the default
// source, that endpoint hears what is played.
namespace quorvane::host::AudioPlatform {

HRESULT getDefaultEndpoint(IMMDeviceEnumerator* enumerator, bool, IMMDevice** device) {
  return enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, device);
}

HRESULT initializeStream(IAudioClient* client, bool, const WAVEFORMATEX* format) {
  constexpr REFERENCE_TIME kBufferDuration = 200000;  // 20 ms in 100 ns units
  return client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, kBufferDuration, 0,
                            format, nullptr);
}

}  // namespace quorvane::host::AudioPlatform
