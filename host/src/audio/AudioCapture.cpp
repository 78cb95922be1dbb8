#include "audio/AudioCapture.h"

#include <propsys.h>

#include <spdlog/spdlog.h>

#include <string>
#include <system_error>
#include <utility>

#include "audio/AudioPlatform.h"
#include "audio/PcmConversion.h"

namespace quorvane::host {

namespace {

constexpr CLSID kMMDeviceEnumeratorClass = {
    0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};
constexpr PROPERTYKEY kDeviceFriendlyName = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
constexpr GUID kSubtypeIeeeFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

constexpr DWORD kWakeTimeoutMs = 100;
constexpr DWORD kReopenRetryMs = 1000;
constexpr size_t kMaxDeviceNameBytes = 256;

uint32_t hr32(HRESULT hr) { return static_cast<uint32_t>(hr); }

// Failures after which the stream cannot go on: the endpoint is gone (unplugged, or no
// longer the device that plays) or the audio service restarted. Only a new client helps.
bool endpointLost(HRESULT hr) {
  return hr == AUDCLNT_E_DEVICE_INVALIDATED || hr == AUDCLNT_E_SERVICE_NOT_RUNNING;
}

PcmConversion::SampleLayout layoutOf(const WAVEFORMATEX* format) {
  bool floatSubFormat = false;
  if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22) {
    const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
    floatSubFormat = IsEqualGUID(extensible->SubFormat, kSubtypeIeeeFloat);
  }
  return PcmConversion::classify(format->wFormatTag, format->wBitsPerSample, floatSubFormat);
}

void logDeviceName(IMMDevice* device) {
  Microsoft::WRL::ComPtr<IPropertyStore> store;
  if (FAILED(device->OpenPropertyStore(STGM_READ, &store))) {
    return;
  }
  PROPVARIANT name;
  PropVariantInit(&name);
  if (SUCCEEDED(store->GetValue(kDeviceFriendlyName, &name)) && name.vt == VT_LPWSTR && name.pwszVal) {
    char utf8[kMaxDeviceNameBytes] = {};
    const int written =
        WideCharToMultiByte(CP_UTF8, 0, name.pwszVal, -1, utf8, sizeof(utf8) - 1, nullptr, nullptr);
    if (written > 0) {
      SPDLOG_INFO("Using audio device: {}", std::string(utf8));
    }
  }
  PropVariantClear(&name);
}

}  // namespace

AudioCapture::~AudioCapture() {
  stop();
  if (event) {
    CloseHandle(event);
    event = nullptr;
  }
  if (mixFormat) {
    CoTaskMemFree(mixFormat);
    mixFormat = nullptr;
  }
  callback = nullptr;
  captureClient.Reset();
  audioClient.Reset();
  device.Reset();
}

bool AudioCapture::initialize(AudioCaptureConfig captureConfig) {
  config = captureConfig;
  if (!event) {
    event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event) {
      SPDLOG_ERROR("Failed to create capture event");
      return false;
    }
  }
  if (!initializeDevice(config.loopback)) {
    return false;
  }
  SPDLOG_INFO("Audio capture initialized: {} Hz, {} channels", mixFormat->nSamplesPerSec,
              mixFormat->nChannels);
  return true;
}

bool AudioCapture::initializeDevice(bool loopback, bool report) {
  Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator;
  HRESULT hr = CoCreateInstance(kMMDeviceEnumeratorClass, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator));
  if (FAILED(hr)) {
    if (report) {
      SPDLOG_ERROR("Failed to create device enumerator: {:#x}", hr32(hr));
    }
    return false;
  }
  hr = AudioPlatform::getDefaultEndpoint(enumerator.Get(), loopback, device.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    if (report) {
      SPDLOG_ERROR("Failed to get default audio endpoint: {:#x}", hr32(hr));
    }
    return false;
  }
  if (report) {
    logDeviceName(device.Get());
  }
  hr = AudioPlatform::activateClient(device.Get(), audioClient.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    if (report) {
      SPDLOG_ERROR("Failed to activate audio client: {:#x}", hr32(hr));
    }
    return false;
  }
  WAVEFORMATEX* format = nullptr;
  hr = audioClient->GetMixFormat(&format);
  if (FAILED(hr)) {
    if (report) {
      SPDLOG_ERROR("Failed to get mix format: {:#x}", hr32(hr));
    }
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(formatMutex);
    std::swap(mixFormat, format);
  }
  CoTaskMemFree(format);  // the previous endpoint's, if any
  hr = AudioPlatform::initializeStream(audioClient.Get(), loopback, mixFormat);
  if (FAILED(hr)) {
    if (report) {
      SPDLOG_ERROR("Failed to initialize audio client: {:#x}", hr32(hr));
    }
    return false;
  }
  hr = audioClient->SetEventHandle(event);
  if (FAILED(hr)) {
    if (report) {
      SPDLOG_ERROR("Failed to set event handle: {:#x}", hr32(hr));
    }
    return false;
  }
  hr = AudioPlatform::getCaptureClient(audioClient.Get(), captureClient.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    if (report) {
      SPDLOG_ERROR("Failed to get capture client: {:#x}", hr32(hr));
    }
    return false;
  }
  return true;
}

void AudioCapture::getFormat(uint32_t& sampleRate, uint32_t& channels, uint32_t& bitsPerSample) const {
  std::lock_guard<std::mutex> lock(formatMutex);
  if (mixFormat) {
    sampleRate = mixFormat->nSamplesPerSec;
    channels = mixFormat->nChannels;
    bitsPerSample = 16;
    return;
  }
  sampleRate = config.sampleRate;
  channels = config.channels;
  bitsPerSample = config.bitsPerSample;
}

bool AudioCapture::start(AudioCallback newCallback) {
  if (running) {
    SPDLOG_WARN("Audio capture already started");
    return true;
  }
  if (!audioClient || !captureClient) {
    SPDLOG_ERROR("Audio capture is not initialized");
    return false;
  }
  callback = std::move(newCallback);
  stopRequested = false;
  loopFailing = recovering = reopenAttempted = false;
  loopFailuresNotLogged = 0;
  const HRESULT hr = audioClient->Start();
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to start audio client: {:#x}", hr32(hr));
    return false;
  }
  running = true;
  try {
    captureThread = std::thread(&AudioCapture::captureLoop, this);
  } catch (const std::system_error& e) {
    // Audio is optional: without a thread the capture simply does not run.
    running = false;
    audioClient->Stop();
    SPDLOG_ERROR("Failed to start audio capture thread: {}", e.what());
    return false;
  }
  SPDLOG_INFO("Audio capture started");
  return true;
}

void AudioCapture::stop() {
  if (!running) {
    return;
  }
  stopRequested = true;
  SetEvent(event);
  if (captureThread.joinable()) {
    captureThread.join();
  }
  if (audioClient) {  // none when the endpoint was lost and not found again
    audioClient->Stop();
  }
  running = false;
  SPDLOG_INFO("Audio capture stopped");
}

void AudioCapture::captureLoop() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  // Reopening a lost endpoint creates COM objects on this thread.
  const bool comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  while (!stopRequested) {
    if (!captureClient && !reopenDevice()) {
      continue;
    }
    const DWORD waited = WaitForSingleObject(event, kWakeTimeoutMs);
    if (stopRequested) {
      break;
    }
    bool tookPacket = false;
    HRESULT hr = waited == WAIT_OBJECT_0 ? drainPackets(tookPacket) : S_OK;
    if (SUCCEEDED(hr) && !tookPacket) {
      // A lost endpoint need not signal again, or may go on signalling with nothing to
      // read; only a call on its client tells. The padding query reports the loss on every
      // system, so a wake without packets (the time-out included) asks it.
      hr = endpointState();
    }
    if (endpointLost(hr)) {
      if (!recovering) {
        SPDLOG_WARN("Audio device lost ({:#x}), reopening capture on the default output device", hr32(hr));
        recovering = true;
      }
      releaseDevice();
    }
  }
  if (comInitialized) {
    CoUninitialize();
  }
}

bool AudioCapture::reopenDevice() {
  // The first attempt after a loss is made at once and reports its failure; the later ones
  // wait about a second each and are quiet. A stop request ends the wait at once.
  const bool first = !reopenAttempted;
  if (!first) {
    WaitForSingleObject(event, kReopenRetryMs);
    if (stopRequested) {
      return false;
    }
  }
  reopenAttempted = true;
  bool opened = initializeDevice(config.loopback, first);
  if (opened) {
    const HRESULT hr = audioClient->Start();
    if (FAILED(hr) && first) {
      SPDLOG_ERROR("Failed to start audio client: {:#x}", hr32(hr));
    }
    opened = SUCCEEDED(hr);
  }
  if (!opened) {
    if (first) {
      SPDLOG_WARN("Audio capture could not be reopened, retrying every second");
    }
    releaseDevice();
    return false;
  }
  if (!first) {
    logDeviceName(device.Get());
  }
  SPDLOG_INFO("Audio capture reopened: {} Hz, {} channels", mixFormat->nSamplesPerSec, mixFormat->nChannels);
  return true;
}

void AudioCapture::releaseDevice() {
  if (audioClient) {
    audioClient->Stop();
  }
  captureClient.Reset();
  audioClient.Reset();
  device.Reset();
  loopFailing = false;
  loopFailuresNotLogged = 0;
}

bool AudioCapture::firstLoopFailure() {
  if (loopFailing) {
    ++loopFailuresNotLogged;
    return false;
  }
  loopFailing = true;
  return true;
}

void AudioCapture::packetPassed() {
  if (loopFailing && loopFailuresNotLogged > 0) {
    SPDLOG_WARN("Audio capture recovered after {} more failed calls", loopFailuresNotLogged);
  }
  loopFailing = false;
  loopFailuresNotLogged = 0;
  recovering = false;
  reopenAttempted = false;
}

HRESULT AudioCapture::endpointState() {
  UINT32 padding = 0;
  const HRESULT hr = audioClient->GetCurrentPadding(&padding);
  // Any other failure of the query leaves the capture as it is: the packets tell.
  return endpointLost(hr) ? hr : S_OK;
}

HRESULT AudioCapture::drainPackets(bool& tookPacket) {
  UINT32 packetFrames = 0;
  HRESULT hr = captureClient->GetNextPacketSize(&packetFrames);
  if (FAILED(hr)) {
    return hr;
  }
  while (packetFrames > 0) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 devicePosition = 0;
    hr = captureClient->GetBuffer(&data, &frames, &flags, &devicePosition, nullptr);
    if (FAILED(hr)) {
      if (!endpointLost(hr) && firstLoopFailure()) {
        SPDLOG_ERROR("GetBuffer failed: {:#x}", hr32(hr));
      }
      return hr;
    }
    // A silent packet's buffer holds no defined samples: it is released unread.
    if (!(flags & AUDCLNT_BUFFERFLAGS_SILENT) && callback) {
      deliver(data, frames);
    }
    hr = captureClient->ReleaseBuffer(frames);
    if (FAILED(hr)) {
      if (!endpointLost(hr) && firstLoopFailure()) {
        SPDLOG_ERROR("ReleaseBuffer failed: {:#x}", hr32(hr));
      }
      return hr;
    }
    packetPassed();
    tookPacket = true;
    hr = captureClient->GetNextPacketSize(&packetFrames);
    if (FAILED(hr)) {
      return hr;
    }
  }
  return S_OK;
}

void AudioCapture::deliver(const BYTE* data, UINT32 frames) {
  const uint32_t channels = mixFormat->nChannels;
  const uint32_t rate = mixFormat->nSamplesPerSec;
  switch (layoutOf(mixFormat)) {
    case PcmConversion::SampleLayout::Float32: {
      const size_t count = static_cast<size_t>(frames) * channels;
      conversionBuffer.resize(count);
      PcmConversion::floatToInt16(reinterpret_cast<const float*>(data), count, conversionBuffer.data());
      callback(conversionBuffer.data(), frames, rate, channels);
      break;
    }
    case PcmConversion::SampleLayout::Int16:
      callback(reinterpret_cast<const int16_t*>(data), frames, rate, channels);
      break;
    case PcmConversion::SampleLayout::Unsupported:
      break;
  }
}

}  // namespace quorvane::host
