#pragma once

#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "encode/EncoderBase.h"
#include "protocol/WindowInfo.h"

namespace quorvane::host {

class CASProcessor;
class FramePacer;
class WindowCapture;

// Receives every encoded access unit of a stream; the bytes are valid only during the call.
using StreamFrameCallback =
    std::function<void(uint8_t streamId, const uint8_t* data, size_t size, bool keyframe)>;
// Told the new captured size (before padding) of a stream.
using ResolutionChangedCallback = std::function<void(uint8_t streamId, uint32_t width, uint32_t height)>;

// The capture side of every stream: one Direct3D 11 device shared by all captures, the
// sharpening pass and the encoders, and per stream id a window capture, an encoder and a
// padding texture. Each captured frame is sharpened when enabled, padded to multiples of 16,
// encoded, and handed on through the StreamFrameCallback, all on the capture's thread under
// the stream-table lock.
//
// A session that ends gives up its encoder at once under the lock (GPUs allow only a few
// encoder sessions, so a restart frees the old one before it opens the new one); its capture
// is stopped and destroyed after the lock is released, so that a capture thread waiting for
// the lock with a frame of that capture can finish first. Inside a frame's callbacks nothing
// waits for a capture: captures ended there are stopped by the next call from outside a
// frame, and an encoder ended while it is encoding that very frame is released when its
// encode returns (a stream started meanwhile makes its encoder with its first frame).
class CaptureOrchestrator {
 public:
  CaptureOrchestrator();
  ~CaptureOrchestrator();
  CaptureOrchestrator(const CaptureOrchestrator&) = delete;
  CaptureOrchestrator& operator=(const CaptureOrchestrator&) = delete;

  bool initialize();
  bool startCapture(uint32_t windowId, uint8_t streamId);
  void stopCapture(uint8_t streamId);
  // Drops sessions whose window is gone or whose capture ended; does nothing when another
  // thread holds the stream table (it runs again next frame).
  void update();
  void shutdown();
  // True while the stream has a session whose window exists and whose capture runs. Takes
  // no lock that a frame holds, so the main thread may ask at any time.
  bool isStreamActive(uint8_t streamId);

  void requestKeyframe(uint8_t streamId);
  CodecHeaders getCodecHeaders(uint8_t streamId);
  bool getStreamResolution(uint8_t streamId, uint32_t& width, uint32_t& height);
  const char* getEncoderName() const { return encoderName.c_str(); }
  std::vector<protocol::WindowInfo> getAvailableWindows();

  // Set both before the first stream starts.
  void setFrameCallback(StreamFrameCallback callback);
  void setResolutionChangedCallback(ResolutionChangedCallback callback);

  // Settings for encoders created later; safe from any thread at any time.
  void setBitrate(uint32_t bitrateKbps, uint32_t maxBitrateKbps);
  void setFrameRate(uint32_t fps);
  void setFullRangeColor(bool enabled);
  void setStreamBitrate(uint8_t streamId, uint32_t bitrateKbps, uint32_t maxBitrateKbps);
  void setSharpeningEnabled(bool enabled);
  void setSharpness(float sharpness);
  void setVSyncEnabled(bool enabled);

  // The adapter's description and dedicated memory, read by initialize.
  std::string gpuName;
  uint64_t vramMB = 0;

 private:
  struct StreamSession {
    std::unique_ptr<WindowCapture> capture;
    std::unique_ptr<EncoderBase> encoder;
    uint32_t windowHandle = 0;
    uint32_t encodeWidth = 0;
    uint32_t encodeHeight = 0;
    uint32_t width = 0;
    uint32_t height = 0;
    Microsoft::WRL::ComPtr<ID3D11Texture2D> paddingTexture;
    // Tells this session's frames from those of an earlier one under the same stream id.
    uint64_t serial = 0;
    // The encoder is made with the first frame (the session started while an ended encoder
    // was still encoding).
    bool encoderPending = false;
  };
  // What isStreamActive reads without the stream-table lock.
  struct ActiveStream {
    uint32_t windowHandle = 0;
    const WindowCapture* capture = nullptr;
  };

  bool initializeD3D();
  bool startLocked(uint32_t windowId, uint8_t streamId, bool encoderWithFirstFrame);
  bool createEncoderLocked(StreamSession& session, uint8_t streamId);
  void onFrameCaptured(uint8_t streamId, uint64_t serial, ID3D11Texture2D* texture, uint32_t width,
                       uint32_t height);
  void attachEncoderOutput(EncoderBase& encoder, uint8_t streamId);
  EncoderConfig configFor(uint32_t encodeWidth, uint32_t encodeHeight);
  // Takes a session out of the table (and out of the active set); under the lock.
  StreamSession takeSession(std::unordered_map<uint8_t, StreamSession>::iterator it);
  // Releases the session's padding texture and encoder now, unless the encoder is encoding on
  // this thread, and keeps the capture for stopRetiredCaptures; under the lock.
  void retireLocked(StreamSession session);
  // Stops and destroys the retired captures; does nothing inside a frame. Without the lock.
  void stopRetiredCaptures();
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
  std::unordered_map<uint8_t, StreamSession> sessions;
  std::recursive_mutex sessionsMutex;
  StreamFrameCallback frameCallback;
  ResolutionChangedCallback resolutionChangedCallback;
  std::mutex configMutex;  // guards defaultConfig only; never held while calling out
  EncoderConfig defaultConfig;
  std::string encoderName;
  std::unique_ptr<FramePacer> framePacer;
  std::unique_ptr<CASProcessor> casProcessor;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> casOutputTexture;
  uint32_t casOutputWidth = 0;
  uint32_t casOutputHeight = 0;
  bool initialized = false;

  uint64_t nextSerial = 0;
  uint64_t frameAttempts = 0;
  // Sessions whose encoder was encoding on the lock's holder when they ended (under the lock).
  std::vector<StreamSession> retiredWhileEncoding;
  std::mutex retiredMutex;  // guards retired only; never held while calling out
  std::vector<StreamSession> retired;
  std::mutex activeMutex;  // guards active only; held for a lookup, never while calling out
  std::unordered_map<uint8_t, ActiveStream> active;
};

}  // namespace quorvane::host
