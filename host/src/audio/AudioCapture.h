#pragma once

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>
#include <vector>

namespace quorvane::host {

// What the owner asks of the capture. The stream always runs in the device's mix
// format; rate, channels and bits are only reported before a device is open.
struct AudioCaptureConfig {
  uint32_t sampleRate = 48000;
  uint32_t channels = 2;
  uint32_t bitsPerSample = 16;
  // Record the render endpoint in loopback; false records the default capture endpoint.
  bool loopback = true;
};

// Receives frames x channels interleaved 16-bit samples, valid only during the call.
using AudioCallback =
    std::function<void(const int16_t* samples, uint32_t frames, uint32_t sampleRate, uint32_t channels)>;

// Records what the PC plays through WASAPI in shared mode and hands it on as 16-bit
// PCM from its own time-critical thread. COM must be initialised on the owner's thread.
// The callback runs on the capture thread and must not call stop().
class AudioCapture {
 public:
  AudioCapture() = default;
  ~AudioCapture();

  AudioCapture(const AudioCapture&) = delete;
  AudioCapture& operator=(const AudioCapture&) = delete;

  bool initialize(AudioCaptureConfig captureConfig);
  void getFormat(uint32_t& sampleRate, uint32_t& channels, uint32_t& bitsPerSample) const;
  bool start(AudioCallback newCallback);
  void stop();

  bool isRunning() const { return running.load(); }

 private:
  bool initializeDevice(bool loopback);
  void captureLoop();
  void drainPackets();
  void deliver(const BYTE* data, UINT32 frames);

  Microsoft::WRL::ComPtr<IMMDevice> device;
  Microsoft::WRL::ComPtr<IAudioClient> audioClient;
  Microsoft::WRL::ComPtr<IAudioCaptureClient> captureClient;
  AudioCaptureConfig config;
  AudioCallback callback;
  std::thread captureThread;
  std::atomic<bool> running{false};
  std::atomic<bool> stopRequested{false};
  WAVEFORMATEX* mixFormat = nullptr;
  HANDLE event = nullptr;
  std::vector<int16_t> conversionBuffer;
};

}  // namespace quorvane::host
