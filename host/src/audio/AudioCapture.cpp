#include "audio/AudioCapture.h"

#include <propsys.h>

#include <spdlog/spdlog.h>

#include <string>
#include <system_error>

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
constexpr size_t kMaxDeviceNameBytes = 256;

uint32_t hr32(HRESULT hr) { return static_cast<uint32_t>(hr); }

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

bool AudioCapture::initializeDevice(bool loopback) {
  Microsoft::WRL::ComPtr<IMMDeviceEnumerator> enumerator;
  HRESULT hr = CoCreateInstance(kMMDeviceEnumeratorClass, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&enumerator));
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to create device enumerator: {:#x}", hr32(hr));
    return false;
  }
  hr = AudioPlatform::getDefaultEndpoint(enumerator.Get(), loopback, device.ReleaseAndGetAddressOf());
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to get default audio endpoint: {:#x}", hr32(hr));
    return false;
  }
  logDeviceName(device.Get());
  hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                        reinterpret_cast<void**>(audioClient.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to activate audio client: {:#x}", hr32(hr));
    return false;
  }
  if (mixFormat) {
    CoTaskMemFree(mixFormat);
    mixFormat = nullptr;
  }
  hr = audioClient->GetMixFormat(&mixFormat);
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to get mix format: {:#x}", hr32(hr));
    return false;
  }
  hr = AudioPlatform::initializeStream(audioClient.Get(), loopback, mixFormat);
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to initialize audio client: {:#x}", hr32(hr));
    return false;
  }
  hr = audioClient->SetEventHandle(event);
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to set event handle: {:#x}", hr32(hr));
    return false;
  }
  hr = audioClient->GetService(IID_PPV_ARGS(captureClient.ReleaseAndGetAddressOf()));
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to get capture client: {:#x}", hr32(hr));
    return false;
  }
  return true;
}

void AudioCapture::getFormat(uint32_t& sampleRate, uint32_t& channels, uint32_t& bitsPerSample) const {
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
  audioClient->Stop();
  running = false;
  SPDLOG_INFO("Audio capture stopped");
}

void AudioCapture::captureLoop() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
  while (!stopRequested) {
    const DWORD waited = WaitForSingleObject(event, kWakeTimeoutMs);
    if (stopRequested) {
      break;
    }
    if (waited == WAIT_OBJECT_0) {
      drainPackets();
    }
  }
}

void AudioCapture::drainPackets() {
  UINT32 packetFrames = 0;
  if (FAILED(captureClient->GetNextPacketSize(&packetFrames))) {
    return;
  }
  while (packetFrames > 0) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 devicePosition = 0;
    HRESULT hr = captureClient->GetBuffer(&data, &frames, &flags, &devicePosition, nullptr);
    if (FAILED(hr)) {
      SPDLOG_ERROR("GetBuffer failed: {:#x}", hr32(hr));
      return;
    }
    if (!(flags & AUDCLNT_BUFFERFLAGS_SILENT) && callback) {
      deliver(data, frames);
    }
    hr = captureClient->ReleaseBuffer(frames);
    if (FAILED(hr)) {
      SPDLOG_ERROR("ReleaseBuffer failed: {:#x}", hr32(hr));
      return;
    }
    if (FAILED(captureClient->GetNextPacketSize(&packetFrames))) {
      return;
    }
  }
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
