#include "capture/CaptureOrchestrator.h"

#include <dxgi.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include <spdlog/spdlog.h>

#include "capture/CASProcessor.h"
#include "capture/FramePacer.h"
#include "capture/WindowCapture.h"
#include "capture/WindowEnumerator.h"
#include "encode/EncoderFactory.h"

using Microsoft::WRL::ComPtr;

namespace quorvane::host {

namespace {

constexpr UINT kShaderResourceAndRenderTarget = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;

// How many frames of any stream this thread is processing (above zero on a capture thread
// inside the pipeline, including the callbacks it runs).
thread_local int framesInProgress = 0;

struct FrameScope {
  FrameScope() { ++framesInProgress; }
  ~FrameScope() { --framesInProgress; }
  FrameScope(const FrameScope&) = delete;
  FrameScope& operator=(const FrameScope&) = delete;
};

// The encoder whose encodeFrame this thread is inside (the frame callback runs there).
thread_local const EncoderBase* runningEncoder = nullptr;

struct EncodeScope {
  explicit EncodeScope(const EncoderBase* encoder) { runningEncoder = encoder; }
  ~EncodeScope() { runningEncoder = nullptr; }
  EncodeScope(const EncodeScope&) = delete;
  EncodeScope& operator=(const EncodeScope&) = delete;
};

uint32_t padded(uint32_t value) { return (value + 15u) & ~15u; }

HWND toHandle(uint32_t windowId) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(windowId));  // NOLINT(performance-no-int-to-ptr)
}

const char* onOff(bool enabled) { return enabled ? "enabled" : "disabled"; }

// A texture like the captured one but of the padded size, usable as render target and shader input.
HRESULT createLike(ID3D11Device* device, ID3D11Texture2D* model, uint32_t width, uint32_t height,
                   ComPtr<ID3D11Texture2D>& texture) {
  D3D11_TEXTURE2D_DESC desc{};
  model->GetDesc(&desc);
  desc.Width = width;
  desc.Height = height;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = kShaderResourceAndRenderTarget;
  texture.Reset();
  return device->CreateTexture2D(&desc, nullptr, &texture);
}

}  // namespace

CaptureOrchestrator::CaptureOrchestrator() = default;

CaptureOrchestrator::~CaptureOrchestrator() {
  shutdown();
  casOutputTexture.Reset();
  casProcessor.reset();
  framePacer.reset();
}

bool CaptureOrchestrator::initialize() {
  if (initialized) {
    SPDLOG_WARN("CaptureOrchestrator already initialized");
    return true;
  }
  if (!initializeD3D()) {
    return false;
  }

  const std::vector<EncoderType> available = EncoderFactory::getAvailableEncoders(device.Get());
  if (available.empty()) {
    SPDLOG_WARN("No hardware encoders available - capture will work but encoding disabled");
    encoderName = "None";
  } else if (std::find(available.begin(), available.end(), EncoderType::NVENC) != available.end()) {
    encoderName = "NVENC";
  } else if (std::find(available.begin(), available.end(), EncoderType::AMF) != available.end()) {
    encoderName = "AMF";
  } else {
    encoderName = "Unknown";
  }

  framePacer = std::make_unique<FramePacer>();
  if (framePacer->initialize(device.Get())) {
    SPDLOG_INFO("FramePacer initialized (refresh rate: {:.1f}Hz)", framePacer->refreshRate);
  } else {
    SPDLOG_WARN("FramePacer initialization failed - using timer-based pacing");
  }
  casProcessor = std::make_unique<CASProcessor>();
  if (casProcessor->initialize(device.Get())) {
    SPDLOG_INFO("CASProcessor initialized (sharpening available)");
  } else {
    SPDLOG_WARN("CASProcessor initialization failed - sharpening disabled");
  }

  initialized = true;
  SPDLOG_INFO("CaptureOrchestrator initialized with {} encoder", encoderName);
  return true;
}

bool CaptureOrchestrator::initializeD3D() {
  context.Reset();
  device.Reset();
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  D3D_FEATURE_LEVEL level{};
  HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                 levels, 2, D3D11_SDK_VERSION, &device, &level, &context);
  if (FAILED(hr)) {
    context.Reset();
    device.Reset();
    hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                           levels, 2, D3D11_SDK_VERSION, &device, &level, &context);
    if (FAILED(hr)) {
      context.Reset();
      device.Reset();
      SPDLOG_ERROR("Failed to create D3D11 device: {:#x}", static_cast<uint32_t>(hr));
      return false;
    }
  }
  SPDLOG_INFO("D3D11 device created with feature level {:#x}", static_cast<uint32_t>(level));

  ComPtr<IDXGIDevice> dxgiDevice;
  ComPtr<IDXGIAdapter> adapter;
  DXGI_ADAPTER_DESC desc{};
  const bool haveDxgi = SUCCEEDED(device.As(&dxgiDevice));
  if (haveDxgi && SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) && SUCCEEDED(adapter->GetDesc(&desc))) {
    char name[256] = {};
    WideCharToMultiByte(CP_UTF8, 0, desc.Description, -1, name, sizeof(name) - 1, nullptr, nullptr);
    gpuName = name;
    vramMB = static_cast<uint64_t>(desc.DedicatedVideoMemory) >> 20;
    SPDLOG_INFO("GPU: {} (VRAM: {} MB)", gpuName, vramMB);
  }

  ComPtr<IDXGIDevice1> dxgiDevice1;
  if (SUCCEEDED(device.As(&dxgiDevice1))) {
    hr = dxgiDevice1->SetMaximumFrameLatency(1);
    if (SUCCEEDED(hr)) {
      SPDLOG_INFO("GPU MaximumFrameLatency set to 1 (reduced from default 3)");
    } else {
      SPDLOG_WARN("Failed to set GPU MaximumFrameLatency: {:#x}", static_cast<uint32_t>(hr));
    }
  }
  if (haveDxgi && SUCCEEDED(dxgiDevice->SetGPUThreadPriority(7))) {
    SPDLOG_INFO("GPU thread priority set to 7 (maximum)");
  }

  ComPtr<ID3D10Multithread> multithread;
  if (SUCCEEDED(context.As(&multithread))) {
    multithread->SetMultithreadProtected(TRUE);
    SPDLOG_INFO("D3D11 multithread protection enabled");
  } else {
    SPDLOG_WARN("Failed to enable D3D11 multithread protection");
  }
  return true;
}

EncoderConfig CaptureOrchestrator::configFor(uint32_t encodeWidth, uint32_t encodeHeight) {
  EncoderConfig config;
  {
    std::lock_guard<std::mutex> lock(configMutex);
    config = defaultConfig;
  }
  config.width = encodeWidth;
  config.height = encodeHeight;
  return config;
}

void CaptureOrchestrator::attachEncoderOutput(EncoderBase& encoder, uint8_t streamId) {
  encoder.setFrameCallback([this, streamId](const EncodedFrame& frame) {
    if (frameCallback) {
      frameCallback(streamId, frame.data, frame.size, frame.keyframe);
    }
  });
}

bool CaptureOrchestrator::startCapture(uint32_t windowId, uint8_t streamId) {
  {
    std::lock_guard<std::recursive_mutex> lock(sessionsMutex);
    auto existing = sessions.find(streamId);
    if (existing != sessions.end()) {
      SPDLOG_WARN("Stream {} already exists, stopping first", streamId);
      retireLocked(takeSession(existing));
    }
    if (framesInProgress > 0) {
      // When the encoder that is encoding this frame has just been ended, the new encoder may
      // only open once that one is gone: it is made with the new capture's first frame.
      return startLocked(windowId, streamId, !retiredWhileEncoding.empty());
    }
  }
  // The old capture ends before the new one starts, outside the lock.
  stopRetiredCaptures();
  std::lock_guard<std::recursive_mutex> lock(sessionsMutex);
  return startLocked(windowId, streamId, false);
}

bool CaptureOrchestrator::startLocked(uint32_t windowId, uint8_t streamId, bool encoderWithFirstFrame) {
  const HWND hwnd = toHandle(windowId);
  if (!IsWindow(hwnd)) {
    SPDLOG_ERROR("Invalid window handle: {:x}", windowId);
    return false;
  }
  auto capture = std::make_unique<WindowCapture>();
  if (!capture->initialize(hwnd, device.Get())) {
    SPDLOG_ERROR("Failed to initialize capture for window {:x}", windowId);
    return false;
  }
  StreamSession session;
  capture->getSize(session.width, session.height);
  session.encodeWidth = padded(session.width);
  session.encodeHeight = padded(session.height);
  session.windowHandle = windowId;
  session.encoderPending = encoderWithFirstFrame;
  if (!encoderWithFirstFrame && !createEncoderLocked(session, streamId)) {
    return false;
  }

  const uint64_t serial = ++nextSerial;
  const bool captureStarted =
      capture->startCapture([this, streamId, serial](ID3D11Texture2D* texture, uint32_t w, uint32_t h) {
        onFrameCaptured(streamId, serial, texture, w, h);
      });
  if (!captureStarted) {
    SPDLOG_ERROR("Failed to start capture for window {:x}", windowId);
    if (session.encoder) {
      session.encoder->shutdown();
    }
    return false;
  }
  session.capture = std::move(capture);
  session.serial = serial;

  auto existing = sessions.find(streamId);
  if (existing != sessions.end()) {
    retireLocked(takeSession(existing));  // started by another thread meanwhile
  }
  {
    std::lock_guard<std::mutex> activeLock(activeMutex);
    active[streamId] = ActiveStream{windowId, session.capture.get()};
  }
  SPDLOG_INFO("Started capture for window {:x} on stream {} ({}x{})", windowId, streamId, session.encodeWidth,
              session.encodeHeight);
  sessions[streamId] = std::move(session);
  return true;
}

bool CaptureOrchestrator::createEncoderLocked(StreamSession& session, uint8_t streamId) {
  session.encoderPending = false;
  SPDLOG_INFO("Creating encoder for {}x{} (padded from {}x{})", session.encodeWidth, session.encodeHeight,
              session.width, session.height);
  session.encoder =
      EncoderFactory::createBestEncoder(device.Get(), configFor(session.encodeWidth, session.encodeHeight));
  if (!session.encoder) {
    SPDLOG_ERROR("Failed to create encoder for window {:x}", session.windowHandle);
    return false;
  }
  attachEncoderOutput(*session.encoder, streamId);
  return true;
}

void CaptureOrchestrator::onFrameCaptured(uint8_t streamId, uint64_t serial, ID3D11Texture2D* texture,
                                          uint32_t width, uint32_t height) {
  std::lock_guard<std::recursive_mutex> lock(sessionsMutex);
  FrameScope scope;
  auto it = sessions.find(streamId);
  // A frame of an earlier session under this id (stopped or restarted while the frame waited
  // for the lock) has no place in the current one; nor has a frame of a session whose encoder
  // could not be re-created.
  if (it == sessions.end() || it->second.serial != serial ||
      (!it->second.encoder && !it->second.encoderPending)) {
    return;
  }

  if (width != it->second.width || height != it->second.height) {
    StreamSession& session = it->second;
    SPDLOG_INFO("Resolution changed from {}x{} to {}x{} on stream {} - recreating encoder", session.width,
                session.height, width, height, streamId);
    if (session.encoder) {
      session.encoder->shutdown();
      session.encoder.reset();
    }
    session.encoderPending = false;
    session.paddingTexture.Reset();
    session.width = width;
    session.height = height;
    session.encodeWidth = padded(width);
    session.encodeHeight = padded(height);
    SPDLOG_INFO("Creating new encoder for {}x{} (padded from {}x{})", session.encodeWidth,
                session.encodeHeight, width, height);
    session.encoder =
        EncoderFactory::createBestEncoder(device.Get(), configFor(session.encodeWidth, session.encodeHeight));
    if (!session.encoder) {
      SPDLOG_ERROR("Failed to create new encoder for resolution {}x{}", session.encodeWidth,
                   session.encodeHeight);
      return;
    }
    attachEncoderOutput(*session.encoder, streamId);
    SPDLOG_INFO("Encoder recreated successfully for {}x{} on stream {}", session.encodeWidth,
                session.encodeHeight, streamId);
    if (resolutionChangedCallback) {
      resolutionChangedCallback(streamId, width, height);
      // The callback may have ended the stream.
      it = sessions.find(streamId);
      if (it == sessions.end() || it->second.serial != serial || !it->second.encoder) {
        return;
      }
    }
  } else if (it->second.encoderPending && !createEncoderLocked(it->second, streamId)) {
    return;
  }

  StreamSession& session = it->second;
  ++frameAttempts;
  ComPtr<ID3D11Texture2D> source = texture;

  if (casProcessor && casProcessor->enabled.load()) {
    if (!casOutputTexture || casOutputWidth != session.encodeWidth ||
        casOutputHeight != session.encodeHeight) {
      if (FAILED(createLike(device.Get(), texture, session.encodeWidth, session.encodeHeight,
                            casOutputTexture))) {
        casOutputTexture.Reset();
        SPDLOG_WARN("Failed to create CAS output texture");
      } else {
        casOutputWidth = session.encodeWidth;
        casOutputHeight = session.encodeHeight;
      }
    }
    if (casOutputTexture &&
        casProcessor->apply(context.Get(), texture, casOutputTexture.Get(), width, height)) {
      source = casOutputTexture;
    }
  }

  if (session.encodeWidth != width || session.encodeHeight != height) {
    if (!session.paddingTexture) {
      if (FAILED(createLike(device.Get(), texture, session.encodeWidth, session.encodeHeight,
                            session.paddingTexture))) {
        session.paddingTexture.Reset();
        SPDLOG_ERROR("Failed to create padding texture");
        return;
      }
      ComPtr<ID3D11RenderTargetView> view;
      if (SUCCEEDED(device->CreateRenderTargetView(session.paddingTexture.Get(), nullptr, &view))) {
        const float black[4] = {0.0f, 0.0f, 0.0f, 1.0f};
        context->ClearRenderTargetView(view.Get(), black);
      }
    }
    const D3D11_BOX box{0, 0, 0, width, height, 1};
    context->CopySubresourceRegion(session.paddingTexture.Get(), 0, 0, 0, 0, source.Get(), 0, &box);
    source = session.paddingTexture;
  }

  // The hand-off may end this stream; a session ended here keeps its encoder until the encode
  // returns.
  EncoderBase* encoder = session.encoder.get();
  bool encoded = false;
  {
    const EncodeScope scope(encoder);
    encoded = encoder->encodeFrame(source.Get());
  }
  for (auto& ended : retiredWhileEncoding) {
    retireLocked(std::move(ended));
  }
  retiredWhileEncoding.clear();
  if (!encoded) {
    SPDLOG_WARN("Failed to encode frame on stream {} (attempt #{})", streamId, frameAttempts);
  }
}

void CaptureOrchestrator::stopCapture(uint8_t streamId) {
  {
    std::lock_guard<std::recursive_mutex> lock(sessionsMutex);
    auto it = sessions.find(streamId);
    if (it == sessions.end()) {
      SPDLOG_WARN("Stream {} not found", streamId);
      return;
    }
    retireLocked(takeSession(it));
  }
  stopRetiredCaptures();
  SPDLOG_INFO("Stopped capture on stream {}", streamId);
}

void CaptureOrchestrator::update() {
  {
    std::unique_lock<std::recursive_mutex> lock(sessionsMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
      return;
    }
    for (auto it = sessions.begin(); it != sessions.end();) {
      StreamSession& session = it->second;
      if (IsWindow(toHandle(session.windowHandle)) && session.capture && session.capture->isCapturing()) {
        ++it;
        continue;
      }
      SPDLOG_INFO("Removing inactive session for stream {}", it->first);
      auto next = std::next(it);
      retireLocked(takeSession(it));
      it = next;
    }
  }
  stopRetiredCaptures();
}

bool CaptureOrchestrator::isStreamActive(uint8_t streamId) {
  std::lock_guard<std::mutex> lock(activeMutex);
  auto it = active.find(streamId);
  return it != active.end() && IsWindow(toHandle(it->second.windowHandle)) &&
         it->second.capture->isCapturing();
}

void CaptureOrchestrator::shutdown() {
  if (!initialized) {
    return;
  }
  SPDLOG_INFO("Shutting down CaptureOrchestrator...");
  {
    std::lock_guard<std::recursive_mutex> lock(sessionsMutex);
    while (!sessions.empty()) {
      retireLocked(takeSession(sessions.begin()));
    }
  }
  stopRetiredCaptures();
  SPDLOG_INFO("Stopped all captures");
  context.Reset();
  device.Reset();
  initialized = false;
}

CaptureOrchestrator::StreamSession CaptureOrchestrator::takeSession(
    std::unordered_map<uint8_t, StreamSession>::iterator it) {
  {
    std::lock_guard<std::mutex> lock(activeMutex);
    active.erase(it->first);
  }
  StreamSession session = std::move(it->second);
  sessions.erase(it);
  return session;
}

void CaptureOrchestrator::retireLocked(StreamSession session) {
  if (session.encoder && session.encoder.get() == runningEncoder) {
    retiredWhileEncoding.push_back(std::move(session));
    return;
  }
  session.paddingTexture.Reset();
  if (session.encoder) {
    session.encoder->shutdown();
    session.encoder.reset();
  }
  std::lock_guard<std::mutex> lock(retiredMutex);
  retired.push_back(std::move(session));
}

void CaptureOrchestrator::stopRetiredCaptures() {
  if (framesInProgress > 0) {
    // Stopping could wait for a frame of that capture, which waits for the lock this thread holds.
    return;
  }
  std::vector<StreamSession> stopping;
  {
    std::lock_guard<std::mutex> lock(retiredMutex);
    stopping.swap(retired);
  }
  for (auto& session : stopping) {
    if (session.capture) {
      session.capture->stopCapture();
    }
  }
}

void CaptureOrchestrator::requestKeyframe(uint8_t streamId) {
  std::lock_guard<std::recursive_mutex> lock(sessionsMutex);
  auto it = sessions.find(streamId);
  if (it != sessions.end() && it->second.encoder) {
    it->second.encoder->requestKeyframe();
  }
}

CodecHeaders CaptureOrchestrator::getCodecHeaders(uint8_t streamId) {
  std::lock_guard<std::recursive_mutex> lock(sessionsMutex);
  auto it = sessions.find(streamId);
  if (it != sessions.end() && it->second.encoder) {
    return it->second.encoder->getCodecHeaders();
  }
  return {};
}

bool CaptureOrchestrator::getStreamResolution(uint8_t streamId, uint32_t& width, uint32_t& height) {
  std::lock_guard<std::recursive_mutex> lock(sessionsMutex);
  auto it = sessions.find(streamId);
  if (it == sessions.end()) {
    return false;
  }
  width = it->second.width;
  height = it->second.height;
  return true;
}

std::vector<protocol::WindowInfo> CaptureOrchestrator::getAvailableWindows() {
  return WindowEnumerator::enumerateWindows();
}

void CaptureOrchestrator::setFrameCallback(StreamFrameCallback callback) {
  frameCallback = std::move(callback);
}

void CaptureOrchestrator::setResolutionChangedCallback(ResolutionChangedCallback callback) {
  resolutionChangedCallback = std::move(callback);
}

void CaptureOrchestrator::setBitrate(uint32_t bitrateKbps, uint32_t maxBitrateKbps) {
  std::lock_guard<std::mutex> lock(configMutex);
  defaultConfig.bitrate = bitrateKbps;
  defaultConfig.maxBitrate = maxBitrateKbps;
}

void CaptureOrchestrator::setFrameRate(uint32_t fps) {
  std::lock_guard<std::mutex> lock(configMutex);
  defaultConfig.fps = fps;
}

void CaptureOrchestrator::setFullRangeColor(bool enabled) {
  {
    std::lock_guard<std::mutex> lock(configMutex);
    defaultConfig.fullRangeColor = enabled;
  }
  SPDLOG_INFO("Full range color {}", onOff(enabled));
}

void CaptureOrchestrator::setStreamBitrate(uint8_t streamId, uint32_t bitrateKbps, uint32_t maxBitrateKbps) {
  std::lock_guard<std::recursive_mutex> lock(sessionsMutex);
  auto it = sessions.find(streamId);
  if (it != sessions.end() && it->second.encoder) {
    it->second.encoder->setBitrate(bitrateKbps, maxBitrateKbps);
  }
}

void CaptureOrchestrator::setSharpeningEnabled(bool enabled) {
  if (casProcessor) {
    casProcessor->enabled = enabled;
    SPDLOG_INFO("CAS sharpening {}", onOff(enabled));
  }
}

void CaptureOrchestrator::setSharpness(float sharpness) {
  if (casProcessor) {
    // A failed comparison (NaN) takes 1.0.
    const float upper = sharpness < 1.0f ? sharpness : 1.0f;
    casProcessor->sharpness = std::max(upper, 0.0f);
  }
}

void CaptureOrchestrator::setVSyncEnabled(bool enabled) {
  if (framePacer) {
    framePacer->vsyncEnabled = enabled;
    SPDLOG_INFO("VSync frame pacing {}", onOff(enabled));
  }
}

}  // namespace quorvane::host
