#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/AudioPacketizer.h"
#include "app/BitrateAdapter.h"
#include "app/Settings.h"
#include "app/StreamTable.h"
#include "protocol/WindowInfo.h"

namespace quorvane::host {

class AudioCapture;
class CaptureOrchestrator;
class DiscoveryResponder;
class InputInjector;
class OpusAudioEncoder;
class SignalingServer;
class TcpAudioServer;
class TcpInputServer;
class TcpTransportServer;
struct ClientFeedback;
struct ClientInput;
struct InputEvent;

// The host itself: owns every subsystem (capture and encoding, audio capture and Opus,
// input injection, the signaling server, the video, audio and input channels and the
// discovery responder), starts them in order, binds their callbacks to its handlers and
// stops them again, producers before what they feed.
//
// initialize, update, shutdown, the getters, the stream operations of the control window
// and the apply operations run on the main thread. The bound handlers run on the
// components' threads: signaling requests on the signaling thread, video-channel records
// on the video channel's thread, input records on the input channel's thread, frames and
// size changes on capture threads under the orchestrator's lock, audio on the audio
// capture thread; signaling and video handlers also on the main thread through update().
// Lock order: the bitrate adapter's lock, then the orchestrator's stream-table lock, then
// the stream table's lock; nothing calls into the orchestrator while holding the stream
// table's lock. Feedback decisions and settings changes hand their bitrate to the
// encoders while holding the adapter's lock (adapter, then orchestrator); this is sound
// because capture threads, which hold the orchestrator's lock, never take the adapter's.
// The stream control lock is taken before the orchestrator's and never together with the
// adapter's.
class Application {
 public:
  Application();
  ~Application();

  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  bool initialize();
  void update();
  void shutdown();

  std::string getEncoderName() const;
  std::vector<protocol::WindowInfo> getWindowList();
  bool isClientConnected() const;

  // Streams of the control window.
  bool startCapture(uint32_t windowId, uint8_t streamId);
  void stopCapture(uint8_t streamId);

  // Settings changed in the control window: stored, handed on, saved.
  void applySettings(uint32_t bitrate, uint32_t maxBitrate, uint32_t fps);
  void applySharpeningSettings(bool enabled, float sharpness);
  void applyVSyncSettings(bool enabled);
  void applyFullRangeColorSettings(bool enabled);

  // Bound to the orchestrator: one encoded access unit of a stream (with its stream
  // configuration first when that is due) to the video channel. Capture thread, under the
  // orchestrator's lock; the bytes are valid only during the call.
  void handleFrame(uint8_t streamId, const uint8_t* data, size_t size, bool keyframe);
  // Bound to the orchestrator: a stream's captured size changed.
  void handleResolutionChange(uint8_t streamId, uint32_t width, uint32_t height);

  // Standard base64 without line breaks.
  static std::string base64Encode(const std::vector<uint8_t>& data);

  // Written on the main thread only; read there freely. Other threads read the bitrate
  // and frame rate through targetBitrate() and targetFps().
  Settings settings;
  std::string gpuName;
  size_t vramMB = 0;

 private:
  bool initializeAudio();
  void bindCallbacks();
  // Stops producers before what they feed and releases every component; logs nothing of
  // its own.
  void releaseComponents();

  bool startClientStream(uint32_t windowId, uint8_t streamId);
  void stopClientStream(uint8_t streamId);
  // The orchestrator's start or stop and the stream table's record of it, as one step
  // under streamControlMutex, so that a start of one origin can never slip in between
  // another origin's check and start.
  bool startStream(uint32_t windowId, uint8_t streamId, StreamOrigin origin);
  void stopStream(uint8_t streamId, StreamOrigin origin);
  void onClientFeedback(const ClientFeedback& feedback);
  void applyBitrateToClientStreams(uint32_t bitrate, uint32_t maxBitrate);
  void dispatchInputEvent(const InputEvent& event);
  void dispatchClientInput(const ClientInput& input);
  bool handleWindowResize(uint32_t windowId, uint32_t width, uint32_t height);
  void forwardAudio(const int16_t* samples, uint32_t frames, uint32_t sampleRate, uint32_t channels);
  void setStreamingPriority(bool streaming);
  uint32_t targetBitrate() const;
  uint32_t targetFps() const;
  void saveSettings();

  std::unique_ptr<CaptureOrchestrator> captureOrchestrator;
  std::unique_ptr<AudioCapture> audioCapture;
  std::unique_ptr<OpusAudioEncoder> opusEncoder;
  std::unique_ptr<InputInjector> inputInjector;
  std::unique_ptr<SignalingServer> signalingServer;
  std::unique_ptr<TcpTransportServer> transportServer;
  std::unique_ptr<TcpAudioServer> audioServer;
  std::unique_ptr<TcpInputServer> inputServer;
  std::unique_ptr<DiscoveryResponder> discoveryResponder;

  AudioPacketizer audioPacketizer;  // audio capture thread only
  std::atomic<bool> running{false};
  StreamTable streams;
  // Held across a stream's start or stop in the orchestrator and in the table; taken
  // before the orchestrator's lock, never on a capture thread.
  std::mutex streamControlMutex;
  BitrateAdapter bitrateAdapter;
  // Guards the settings fields that other threads read while the main thread applies a
  // change (target bitrate and frame rate); never held while calling out.
  mutable std::mutex settingsMutex;

  // Frames and keyframes handed to the video channel, over all streams.
  std::atomic<uint64_t> framesSent{0};
  std::atomic<uint32_t> keyframesSent{0};
};

}  // namespace quorvane::host
