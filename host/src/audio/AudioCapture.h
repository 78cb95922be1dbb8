#pragma once

#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
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
// When a call on the stream reports its endpoint gone (invalidated, as when the device is
// unplugged or disabled, or the audio service restarted) the capture thread releases it and
// opens the current default output device again, retrying about once a second while there
// is none, and goes on delivering to the same callback. Every wake without a packet, the
// 100 ms time-out included, asks the stream for its padding, so that a loss is seen also
// when the lost stream signals no more or signals with nothing to read. A change of the
// default device while the endpoint stays valid is not followed.
// While it runs, the capture thread owns the interfaces and the mix format; getFormat()
// may be called from the owner's thread at any time.
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
  // Opens the default endpoint; with report unset neither its failures nor its name are logged.
  bool initializeDevice(bool loopback, bool report = true);
  void captureLoop();
  // Hands on every waiting packet; S_OK, or the failure of the call that stopped it.
  // tookPacket is set when at least one packet was read and released.
  HRESULT drainPackets(bool& tookPacket);
  // The loss that the stream's padding query reports, or S_OK.
  HRESULT endpointState();
  void deliver(const BYTE* data, UINT32 frames);
  // On the capture thread, after the endpoint was lost: opens and starts it again.
  bool reopenDevice();
  void releaseDevice();
  // Whether a failure of the loop's calls starts a run of failures (and is to be logged);
  // the failures after the first are only counted until a packet goes through again.
  bool firstLoopFailure();
  // A packet was handed on and released: every failure so far has ended.
  void packetPassed();

  Microsoft::WRL::ComPtr<IMMDevice> device;
  Microsoft::WRL::ComPtr<IAudioClient> audioClient;
  Microsoft::WRL::ComPtr<IAudioCaptureClient> captureClient;
  AudioCaptureConfig config;
  AudioCallback callback;
  std::thread captureThread;
  std::atomic<bool> running{false};
  std::atomic<bool> stopRequested{false};
  WAVEFORMATEX* mixFormat = nullptr;
  // Guards replacing mixFormat against getFormat() on another thread.
  mutable std::mutex formatMutex;
  HANDLE event = nullptr;
  std::vector<int16_t> conversionBuffer;
  // Capture-thread state of the current failures. A lost endpoint counts as lost, and
  // every reopen after the first waits, until a packet comes through again; so an endpoint
  // that is lost again at once is neither reported again nor reopened without a pause.
  bool loopFailing = false;
  uint64_t loopFailuresNotLogged = 0;
  bool recovering = false;
  bool reopenAttempted = false;
};

}  // namespace quorvane::host
