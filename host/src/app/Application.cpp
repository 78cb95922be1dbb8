#include "app/Application.h"

#include <windows.h>
#include <mmsystem.h>
#include <wincrypt.h>

#include <algorithm>

#include <spdlog/spdlog.h>

#include "audio/AudioCapture.h"
#include "audio/OpusEncoder.h"
#include "capture/CaptureOrchestrator.h"
#include "input/InjectorEvent.h"
#include "input/InputInjector.h"
#include "network/DiscoveryResponder.h"
#include "network/SignalingServer.h"
#include "network/TcpAudioServer.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"
#include "protocol/ClientFeedback.h"
#include "protocol/ClientInput.h"
#include "protocol/InputEvent.h"
#include "protocol/StreamConfigMessage.h"

namespace quorvane::host {

namespace {

constexpr uint16_t kDiscoveryPort = DiscoveryResponder::kDefaultUdpPort;
constexpr uint32_t kStatisticsInterval = 360;

// A window id carries the 32 significant bits of the window's handle.
HWND windowHandle(uint32_t windowId) {
  return reinterpret_cast<HWND>(static_cast<uintptr_t>(windowId));  // NOLINT(performance-no-int-to-ptr)
}

const char* originName(StreamOrigin origin) {
  return origin == StreamOrigin::Client ? "client" : "control window";
}

std::string computerName() {
  char name[16] = {};
  DWORD size = sizeof(name);
  if (!GetComputerNameA(name, &size)) {
    return "Quorvane Host";
  }
  return std::string(name, size);
}

// The injector's record from either channel's record (the same fields, laid out differently).
template <typename Record>
InjectorEvent injectorEventFrom(const Record& input) {
  InjectorEvent event;
  event.type = input.type;
  event.action = input.action;
  event.x = input.x;
  event.y = input.y;
  event.code = input.code;
  event.modifiers = input.modifiers;
  event.wheelDelta = input.wheelDelta;
  return event;
}

}  // namespace

Application::Application() : streams([this](bool busy) { setStreamingPriority(busy); }) {
  settings.setDefaults();
}

Application::~Application() {
  if (running.load()) {
    shutdown();
  } else {
    releaseComponents();
  }
}

bool Application::initialize() {
  // A second initialize starts over with new components.
  releaseComponents();

  SPDLOG_INFO("Initializing application subsystems...");
  if (!settings.load()) {
    SPDLOG_WARN("Failed to load settings, using defaults");
    settings.setDefaults();
  }
  bitrateAdapter.setTarget(settings.targetBitrate);

  SPDLOG_INFO("Initializing capture system...");
  captureOrchestrator = std::make_unique<CaptureOrchestrator>();
  if (!captureOrchestrator->initialize()) {
    SPDLOG_ERROR("Failed to initialize capture orchestrator");
    return false;
  }
  SPDLOG_INFO("Using {} encoder", captureOrchestrator->getEncoderName());
  captureOrchestrator->setBitrate(settings.targetBitrate, settings.maxBitrate);
  captureOrchestrator->setFrameRate(settings.targetFps);
  SPDLOG_INFO("Encoder defaults set: {} kbps, {} fps", settings.targetBitrate, settings.targetFps);
  captureOrchestrator->setSharpeningEnabled(settings.sharpeningEnabled);
  captureOrchestrator->setSharpness(settings.sharpness);
  captureOrchestrator->setVSyncEnabled(settings.vsyncEnabled);
  captureOrchestrator->setFullRangeColor(settings.fullRangeColor);
  gpuName = captureOrchestrator->gpuName;
  vramMB = static_cast<size_t>(captureOrchestrator->vramMB);

  SPDLOG_INFO("Initializing input injector...");
  inputInjector = std::make_unique<InputInjector>();
  if (!inputInjector->initialize(InputInjectorConfig{true, 1.0f})) {
    SPDLOG_ERROR("Failed to initialize input injector");
    return false;
  }

  if (!initializeAudio()) {
    SPDLOG_WARN("Audio capture not available");
  }

  SPDLOG_INFO("Initializing signaling server on port {}...", settings.signalingPort);
  signalingServer = std::make_unique<SignalingServer>(settings.signalingPort);
  if (!signalingServer->start()) {
    SPDLOG_ERROR("Failed to start signaling server");
    return false;
  }

  SPDLOG_INFO("Initializing TCP transport server on port {}...", settings.videoPort);
  transportServer = std::make_unique<TcpTransportServer>(settings.videoPort);
  if (!transportServer->start()) {
    SPDLOG_ERROR("Failed to start TCP transport server");
    return false;
  }
  transportServer->onKeyframeRequest = [this](uint8_t streamId) {
    captureOrchestrator->requestKeyframe(streamId);
  };

  SPDLOG_INFO("Initializing TCP audio server on port {}...", settings.audioPort);
  audioServer = std::make_unique<TcpAudioServer>(settings.audioPort);
  if (!audioServer->start()) {
    SPDLOG_ERROR("Failed to start TCP audio server");
    return false;
  }

  SPDLOG_INFO("Initializing TCP input server on port {}...", settings.inputPort);
  inputServer = std::make_unique<TcpInputServer>(settings.inputPort);
  if (!inputServer->start()) {
    SPDLOG_ERROR("Failed to start TCP input server");
    return false;
  }
  inputServer->onInputEvent = [this](const InputEvent& event) { dispatchInputEvent(event); };

  bindCallbacks();

  SPDLOG_INFO("Initializing discovery responder on port {}...", kDiscoveryPort);
  discoveryResponder = std::make_unique<DiscoveryResponder>(computerName(), settings.signalingPort);
  if (!discoveryResponder->start()) {
    SPDLOG_WARN("Failed to start discovery responder - clients must connect manually");
  }

  SPDLOG_INFO("All subsystems initialized successfully");
  SPDLOG_INFO("Signaling: ws://localhost:{}", settings.signalingPort);
  SPDLOG_INFO("Video:     tcp://localhost:{}", settings.videoPort);
  SPDLOG_INFO("Audio:     tcp://localhost:{}", settings.audioPort);
  SPDLOG_INFO("Input:     tcp://localhost:{}", settings.inputPort);
  SPDLOG_INFO("Discovery: udp://broadcast:{}", kDiscoveryPort);
  running = true;
  return true;
}

void Application::bindCallbacks() {
  signalingServer->setWindowListProvider([this] { return captureOrchestrator->getAvailableWindows(); });
  signalingServer->setStreamStartCallback(
      [this](uint32_t windowId, uint8_t streamId) { return startClientStream(windowId, streamId); });
  signalingServer->setStreamStopCallback([this](uint8_t streamId) { stopClientStream(streamId); });
  signalingServer->setWindowResizeCallback([this](uint32_t windowId, uint32_t width, uint32_t height) {
    return handleWindowResize(windowId, width, height);
  });
  signalingServer->setKeyframeRequestCallback(
      [this](uint8_t streamId) { captureOrchestrator->requestKeyframe(streamId); });
  signalingServer->setClientConnectedCallback([this](const std::string& address) {
    SPDLOG_INFO("Client connected from {} (TCP video port: {})", address, settings.videoPort);
  });
  captureOrchestrator->setFrameCallback(
      [this](uint8_t streamId, const uint8_t* data, size_t size, bool keyframe) {
        handleFrame(streamId, data, size, keyframe);
      });
  captureOrchestrator->setResolutionChangedCallback(
      [this](uint8_t streamId, uint32_t width, uint32_t height) {
        handleResolutionChange(streamId, width, height);
      });
  transportServer->setClientFeedbackCallback(
      [this](const ClientFeedback& feedback) { onClientFeedback(feedback); });
  transportServer->setClientInputCallback([this](const ClientInput& input) { dispatchClientInput(input); });
}

bool Application::initializeAudio() {
  SPDLOG_INFO("Initializing audio capture...");
  audioCapture = std::make_unique<AudioCapture>();
  if (!audioCapture->initialize(AudioCaptureConfig{48000, 2, 16, true})) {
    SPDLOG_WARN("Failed to initialize audio capture");
    audioCapture.reset();
    return false;
  }
  opusEncoder = std::make_unique<OpusAudioEncoder>();
  OpusConfig opusConfig;
  opusConfig.sampleRate = AudioPacketizer::kSampleRate;
  opusConfig.channels = AudioPacketizer::kChannels;
  opusConfig.bitrate = 128000;
  opusConfig.frameSize = AudioPacketizer::kFrameSize;
  opusConfig.complexity = 5;
  opusConfig.lowDelay = true;
  if (!opusEncoder->initialize(opusConfig)) {
    SPDLOG_WARN("Failed to initialize Opus encoder");
    opusEncoder.reset();
    audioCapture.reset();
    return false;
  }
  const bool started =
      audioCapture->start([this](const int16_t* samples, uint32_t frames, uint32_t sampleRate,
                                 uint32_t channels) { forwardAudio(samples, frames, sampleRate, channels); });
  if (!started) {
    SPDLOG_WARN("Failed to start audio capture");
    opusEncoder.reset();
    audioCapture.reset();
    return false;
  }
  SPDLOG_INFO("Audio capture started");
  return true;
}

void Application::update() {
  if (captureOrchestrator) {
    // Drops the sessions whose window closed. Their streams keep counting, with their
    // tables and audio, until a stop for them arrives.
    captureOrchestrator->update();
  }
  if (signalingServer) {
    signalingServer->poll();
  }
  if (transportServer) {
    transportServer->poll();
  }
}

std::string Application::getEncoderName() const {
  return captureOrchestrator ? std::string(captureOrchestrator->getEncoderName()) : std::string("None");
}

std::vector<protocol::WindowInfo> Application::getWindowList() {
  return captureOrchestrator ? captureOrchestrator->getAvailableWindows()
                             : std::vector<protocol::WindowInfo>{};
}

bool Application::isClientConnected() const {
  return signalingServer && signalingServer->getClientCount() != 0;
}

void Application::shutdown() {
  SPDLOG_INFO("Shutting down application...");
  releaseComponents();
  SPDLOG_INFO("Application shutdown complete");
}

void Application::releaseComponents() {
  running = false;
  streams.unbindAudio();

  // Audio: the capture thread feeds the Opus encoder and the audio channel.
  if (audioCapture) {
    audioCapture->stop();
    audioCapture.reset();
  }
  if (opusEncoder) {
    opusEncoder->shutdown();
    opusEncoder.reset();
  }
  if (audioServer) {
    audioServer->stop();
  }
  // The channels' and signaling's handlers reach the orchestrator and the injector, and
  // the capture threads reach the video channel and signaling: stop the handlers first,
  // then the captures, and release the servers only after that.
  if (inputServer) {
    inputServer->stop();
  }
  if (transportServer) {
    transportServer->stop();
  }
  if (signalingServer) {
    signalingServer->stop();
  }
  if (captureOrchestrator) {
    captureOrchestrator->shutdown();
    captureOrchestrator.reset();
  }
  transportServer.reset();
  signalingServer.reset();
  if (discoveryResponder) {
    discoveryResponder->stop();
    discoveryResponder.reset();
  }
  inputServer.reset();
  audioServer.reset();
  inputInjector.reset();

  // Streams end with their captures; the priority goes back to normal once.
  streams.endAll();
}

bool Application::startClientStream(uint32_t windowId, uint8_t streamId) {
  SPDLOG_INFO("Stream request: windowId={:x}, streamId={}", windowId, streamId);
  if (!startStream(windowId, streamId, StreamOrigin::Client)) {
    SPDLOG_ERROR("Failed to start capture for window {:x}", windowId);
    return false;
  }
  return true;
}

bool Application::startCapture(uint32_t windowId, uint8_t streamId) {
  if (!captureOrchestrator) {
    SPDLOG_ERROR("Capture orchestrator not initialized");
    return false;
  }
  return startStream(windowId, streamId, StreamOrigin::ControlWindow);
}

bool Application::startStream(uint32_t windowId, uint8_t streamId, StreamOrigin origin) {
  std::lock_guard<std::mutex> control(streamControlMutex);
  if (streams.heldByOther(streamId, origin)) {
    const StreamOrigin other =
        origin == StreamOrigin::Client ? StreamOrigin::ControlWindow : StreamOrigin::Client;
    SPDLOG_WARN("Stream {} is already streaming for the {}; not starting window {:x} on it", streamId,
                originName(other), windowId);
    return false;
  }
  if (!captureOrchestrator->startCapture(windowId, streamId)) {
    return false;
  }
  if (origin == StreamOrigin::Client) {
    SPDLOG_INFO("Capture started for window {:x} on stream {}", windowId, streamId);
  } else {
    SPDLOG_INFO("Started capture for window {} on stream {}", windowId, streamId);
  }
  streams.started(streamId, origin, windowId, audioCapture && audioCapture->isRunning());
  if (inputInjector) {
    inputInjector->setTargetWindow(windowHandle(windowId));
  }
  return true;
}

void Application::stopClientStream(uint8_t streamId) {
  SPDLOG_INFO("Client requested to stop stream {}", streamId);
  stopStream(streamId, StreamOrigin::Client);
}

void Application::stopCapture(uint8_t streamId) { stopStream(streamId, StreamOrigin::ControlWindow); }

void Application::stopStream(uint8_t streamId, StreamOrigin origin) {
  if (!captureOrchestrator) {
    return;
  }
  std::lock_guard<std::mutex> control(streamControlMutex);
  if (streams.heldByOther(streamId, origin)) {
    SPDLOG_WARN(
        "Stream {} is streaming for the {}; the {}'s stop leaves it running", streamId,
        originName(origin == StreamOrigin::Client ? StreamOrigin::ControlWindow : StreamOrigin::Client),
        originName(origin));
    return;
  }
  captureOrchestrator->stopCapture(streamId);
  SPDLOG_INFO("Stopped capture for stream {}", streamId);
  streams.stopped(streamId, origin);
}

void Application::setStreamingPriority(bool streaming) {
  if (streaming) {
    if (SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS)) {
      SPDLOG_INFO("Process priority boosted to HIGH_PRIORITY_CLASS for streaming");
    } else {
      SPDLOG_WARN("Failed to boost process priority: {}", GetLastError());
    }
    timeBeginPeriod(1);
  } else {
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
    timeEndPeriod(1);
  }
}

void Application::handleFrame(uint8_t streamId, const uint8_t* data, size_t size, bool keyframe) {
  if (keyframe && signalingServer) {
    if (const auto pending = streams.pendingConfig(streamId)) {
      // The orchestrator's lock is held by this capture thread, so asking it here is safe.
      const CodecHeaders headers = captureOrchestrator->getCodecHeaders(streamId);
      if (headers.valid) {
        uint32_t width = 0;
        uint32_t height = 0;
        captureOrchestrator->getStreamResolution(streamId, width, height);
        protocol::StreamConfigMessage message;
        message.type = "stream_config";
        message.windowId = pending->windowId;
        message.streamId = streamId;
        message.width = width;
        message.height = height;
        message.codec = "video/avc";
        message.sps = base64Encode(headers.sps);
        message.pps = base64Encode(headers.pps);
        message.targetBitrate = targetBitrate();
        message.targetFps = targetFps();
        SPDLOG_INFO("Sending stream_config for stream {}: {}x{}, SPS={}B, PPS={}B", streamId, width, height,
                    headers.sps.size(), headers.pps.size());
        signalingServer->sendStreamConfig(message);
        streams.configSent(streamId, pending->ticket);
      }
    }
  }

  if (!transportServer) {
    return;
  }
  transportServer->sendVideoFrame(streamId, data, size, keyframe);
  const uint64_t frames = ++framesSent;
  const uint32_t keyframes = keyframe ? ++keyframesSent : keyframesSent.load();
  if (frames % kStatisticsInterval == 0) {
    SPDLOG_INFO("Stream {} stats: {} frames, {} keyframes sent", streamId, frames, keyframes);
  }
}

void Application::handleResolutionChange(uint8_t streamId, uint32_t width, uint32_t height) {
  SPDLOG_INFO("Resolution changed for stream {}: {}x{}", streamId, width, height);
  streams.resolutionChanged(streamId);
  captureOrchestrator->requestKeyframe(streamId);
}

std::string Application::base64Encode(const std::vector<uint8_t>& data) {
  if (data.empty()) {
    return {};
  }
  constexpr DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD length = 0;
  if (!CryptBinaryToStringA(data.data(), static_cast<DWORD>(data.size()), flags, nullptr, &length)) {
    return {};
  }
  std::string text(length, '\0');
  if (!CryptBinaryToStringA(data.data(), static_cast<DWORD>(data.size()), flags, text.data(), &length)) {
    return {};
  }
  while (!text.empty() && (text.back() == '\0' || text.back() == '\r' || text.back() == '\n')) {
    text.pop_back();
  }
  return text;
}

uint32_t Application::targetBitrate() const {
  std::lock_guard<std::mutex> lock(settingsMutex);
  return settings.targetBitrate;
}

uint32_t Application::targetFps() const {
  std::lock_guard<std::mutex> lock(settingsMutex);
  return settings.targetFps;
}

void Application::onClientFeedback(const ClientFeedback& feedback) {
  // The decision reaches the encoders under the adapter's lock, so a settings change
  // cannot come between them.
  bitrateAdapter.onFeedback(
      feedback.rttMs, feedback.decodeTimeMs, [&](const BitrateAdapter::Decision& decision) {
        if (decision.congestion) {
          SPDLOG_WARN("Network congestion (RTT={}ms, decode={}ms), reducing bitrate {} -> {} kbps",
                      feedback.rttMs, feedback.decodeTimeMs, decision.previousKbps, decision.bitrateKbps);
        }
        applyBitrateToClientStreams(decision.bitrateKbps, decision.maxBitrateKbps);
      });
}

void Application::applyBitrateToClientStreams(uint32_t bitrate, uint32_t maxBitrate) {
  // Called under the adapter's lock. Ids are collected under the stream lock and the
  // orchestrator is called after it is released: a capture thread takes the two locks in
  // the other order (and never the adapter's).
  for (const uint8_t streamId : streams.clientStreamIds()) {
    captureOrchestrator->setStreamBitrate(streamId, bitrate, maxBitrate);
  }
}

void Application::saveSettings() { settings.save(); }

void Application::applySettings(uint32_t bitrate, uint32_t maxBitrate, uint32_t fps) {
  SPDLOG_INFO("Applying settings: bitrate={} kbps, maxBitrate={} kbps, fps={}", bitrate, maxBitrate, fps);
  {
    std::lock_guard<std::mutex> lock(settingsMutex);
    settings.targetBitrate = bitrate;
    settings.maxBitrate = maxBitrate;
    settings.targetFps = fps;
  }
  // Adaptation restarts from the new target and the encoders get it as one step against
  // feedback, which would otherwise hand them a decision taken from the old target.
  bitrateAdapter.retarget(bitrate, [&] {
    if (captureOrchestrator) {
      captureOrchestrator->setBitrate(bitrate, maxBitrate);
      captureOrchestrator->setFrameRate(fps);
      applyBitrateToClientStreams(bitrate, maxBitrate);
    }
  });
  saveSettings();
}

void Application::applySharpeningSettings(bool enabled, float sharpness) {
  SPDLOG_INFO("Applying sharpening settings: enabled={}, sharpness={:.2f}", enabled, sharpness);
  settings.sharpeningEnabled = enabled;
  settings.sharpness = std::max(std::min(sharpness, 1.0f), 0.0f);
  if (captureOrchestrator) {
    captureOrchestrator->setSharpeningEnabled(enabled);
    captureOrchestrator->setSharpness(sharpness);
  }
  saveSettings();
}

void Application::applyVSyncSettings(bool enabled) {
  SPDLOG_INFO("Applying VSync settings: enabled={}", enabled);
  settings.vsyncEnabled = enabled;
  if (captureOrchestrator) {
    captureOrchestrator->setVSyncEnabled(enabled);
  }
  saveSettings();
}

void Application::applyFullRangeColorSettings(bool enabled) {
  SPDLOG_INFO("Applying full range color settings: enabled={}", enabled);
  settings.fullRangeColor = enabled;
  if (captureOrchestrator) {
    captureOrchestrator->setFullRangeColor(enabled);
  }
  saveSettings();
}

void Application::dispatchInputEvent(const InputEvent& event) {
  if (!inputInjector) {
    return;
  }
  const auto window = streams.windowOf(event.streamId);
  if (event.type == 2 && event.action == 3) {
    // A typed character is the whole UTF-16 code unit in x, not the 8-bit code field.
    if (window) {
      inputInjector->setTargetWindow(windowHandle(*window));
    }
    inputInjector->sendUnicodeChar(event.x);
    return;
  }
  const InjectorEvent injected = injectorEventFrom(event);
  if (window) {
    inputInjector->handleEventFor(windowHandle(*window), injected);
  } else {
    inputInjector->handleEvent(injected);
  }
}

void Application::dispatchClientInput(const ClientInput& input) {
  if (!inputInjector) {
    return;
  }
  const InjectorEvent event = injectorEventFrom(input);
  if (const auto window = streams.windowOf(input.streamId)) {
    inputInjector->handleEventFor(windowHandle(*window), event);
  } else {
    SPDLOG_WARN("Input received for unknown stream {}", input.streamId);
    inputInjector->handleEvent(event);
  }
}

bool Application::handleWindowResize(uint32_t windowId, uint32_t width, uint32_t height) {
  SPDLOG_INFO("Client-initiated window resize: window={:x}, size={}x{}", windowId, width, height);
  const HWND window = windowHandle(windowId);
  if (!IsWindow(window)) {
    SPDLOG_ERROR("Invalid window ID for resize: {:x}", windowId);
    return false;
  }
  if (inputInjector && inputInjector->resizeWindow(window, width, height, true)) {
    SPDLOG_INFO("Window {:x} resized successfully to {}x{}", windowId, width, height);
    return true;
  }
  SPDLOG_ERROR("Failed to resize window {:x} to {}x{}", windowId, width, height);
  return false;
}

void Application::forwardAudio(const int16_t* samples, uint32_t frames, uint32_t sampleRate,
                               uint32_t channels) {
  if (!streams.audioBound() || !opusEncoder || !audioServer) {
    return;
  }
  const uint8_t streamId = streams.audioStreamId();
  audioPacketizer.push(samples, frames, sampleRate, channels, [&](const int16_t* pcm, uint32_t frameSize) {
    const std::vector<uint8_t> packet = opusEncoder->encode(pcm, static_cast<int>(frameSize));
    if (!packet.empty()) {
      audioServer->sendAudioData(streamId, packet.data(), packet.size());
    }
  });
}

}  // namespace quorvane::host
