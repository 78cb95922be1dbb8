#pragma once

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

// The one place where the capture decides which endpoint it records and how its
// stream is opened. The product's implementation records the default render endpoint
// in loopback; every other step of the capture is shared by all implementations.
// Link qh_audio first, then exactly one implementation library.
namespace quorvane::host::AudioPlatform {

// The default endpoint to record from: the render endpoint when loopback is set,
// otherwise the capture endpoint.
HRESULT getDefaultEndpoint(IMMDeviceEnumerator* enumerator, bool loopback, IMMDevice** device);

// Initialises the shared-mode, event-driven stream of client in format with a 20 ms
// buffer, in loopback when loopback is set.
HRESULT initializeStream(IAudioClient* client, bool loopback, const WAVEFORMATEX* format);

}  // namespace quorvane::host::AudioPlatform
