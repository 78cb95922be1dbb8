#pragma once

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>

// The one place where the capture decides which endpoint it records, which client opens
// it, how its stream is opened and which capture client reads it. The product's
// implementation records the default render endpoint in loopback; every other step of the
// capture is shared by all implementations.
// Link qh_audio first, then exactly one implementation library.
namespace quorvane::host::AudioPlatform {

// The default endpoint to record from: the render endpoint when loopback is set,
// otherwise the capture endpoint.
HRESULT getDefaultEndpoint(IMMDeviceEnumerator* enumerator, bool loopback, IMMDevice** device);

// The audio client of device.
HRESULT activateClient(IMMDevice* device, IAudioClient** client);

// Initialises the shared-mode, event-driven stream of client in format with a 20 ms
// buffer, in loopback when loopback is set.
HRESULT initializeStream(IAudioClient* client, bool loopback, const WAVEFORMATEX* format);

// The capture client that reads the initialised stream of client.
HRESULT getCaptureClient(IAudioClient* client, IAudioCaptureClient** captureClient);

}  // namespace quorvane::host::AudioPlatform
