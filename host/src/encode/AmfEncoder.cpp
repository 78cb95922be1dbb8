#include "encode/AmfEncoder.h"

#include <spdlog/spdlog.h>

namespace quorvane::host {

using namespace amf;

namespace {

const char* initHint(AMF_RESULT result) {
  switch (result) {
    case AMF_OUT_OF_RANGE:
      return "Resolution may be too small (min ~64x64) or too large";
    case AMF_OUT_OF_MEMORY:
      return "GPU memory exhausted - close other apps using GPU";
    case AMF_NOT_SUPPORTED:
      return "This resolution/format not supported by GPU";
    case AMF_NOT_INITIALIZED:
      return "AMF library not properly initialized - reinstall AMD drivers";
    default:
      return "Try updating AMD drivers";
  }
}

}  // namespace

AmfEncoder::~AmfEncoder() { shutdown(); }

bool AmfEncoder::initialize(ID3D11Device* newDevice, const EncoderConfig& newConfig) {
  if (initialized.load()) {
    SPDLOG_WARN("AMF encoder already initialized");
    return true;
  }
  if (newDevice == nullptr || !validateConfig(newConfig, "AMF")) {
    return false;
  }
  device = newDevice;
  context.Reset();
  device->GetImmediateContext(&context);
  config = newConfig;
  isHevc = isHevcCodec(config.codec);

  if (!loadAmf()) {
    SPDLOG_ERROR("Failed to load AMF library");
    releaseAll();
    return false;
  }
  if (!createEncoder()) {
    SPDLOG_ERROR("Failed to create AMF encoder");
    releaseAll();
    return false;
  }
  initialized.store(true);
  SPDLOG_INFO("AMF encoder initialized: {}x{} @ {}fps, {}kbps ({})", config.width, config.height, config.fps,
              config.bitrate, isHevc ? "HEVC" : "H.264");
  return true;
}

bool AmfEncoder::loadAmf() {
  amfModule = LoadLibraryW(L"amfrt64.dll");
  if (amfModule == nullptr) {
    SPDLOG_ERROR("Failed to load amfrt64.dll - AMD drivers may not be installed");
    return false;
  }
  auto init = reinterpret_cast<AMFInitFn>(reinterpret_cast<void (*)()>(GetProcAddress(amfModule, "AMFInit")));
  if (init == nullptr) {
    SPDLOG_ERROR("Failed to get AMFInit function");
    return false;
  }
  AMF_RESULT result = init(AMF_FULL_VERSION_1_5, &amfFactory);
  if (result != AMF_OK || amfFactory == nullptr) {
    SPDLOG_ERROR("AMFInit failed: {}", result);
    amfFactory = nullptr;
    return false;
  }
  result = amfFactory->CreateContext(&amfContext);
  if (result != AMF_OK || amfContext == nullptr) {
    SPDLOG_ERROR("Failed to create AMF context: {}", result);
    return false;
  }
  result = amfContext->InitDX11(device.Get(), AMF_DX11_0);
  if (result != AMF_OK) {
    SPDLOG_ERROR("Failed to init AMF context with D3D11: {}", result);
    return false;
  }
  return true;
}

bool AmfEncoder::createEncoder() {
  if (amfComponent != nullptr) {
    amfComponent->Release();
    amfComponent = nullptr;
  }
  const wchar_t* id = isHevc ? L"AMFVideoEncoderHW_HEVC" : L"AMFVideoEncoderVCE_AVC";
  AMF_RESULT result = amfFactory->CreateComponent(amfContext, id, &amfComponent);
  if (result != AMF_OK || amfComponent == nullptr) {
    SPDLOG_ERROR("Failed to create AMF encoder component: {}", result);
    return false;
  }

  // The runtime clamps what it cannot take; a refused property is not fatal.
  auto set = [this](const wchar_t* name, const AMFVariantStruct& value) {
    amfComponent->SetProperty(name, value);
  };
  const int64_t target = int64_t{config.bitrate} * 1000;
  const int64_t peak = int64_t{config.maxBitrate} * 1000;
  const int64_t vbv = vbvBufferBits(config.maxBitrate, config.fps);
  if (isHevc) {
    set(L"HevcUsage", variantInt(2));
    set(L"HevcQualityPreset", variantInt(10));
    set(L"HevcProfile", variantInt(1));
    set(L"HevcTier", variantInt(0));
    set(L"HevcRateControlMethod", variantInt(3));
    set(L"HevcTargetBitrate", variantInt(target));
    set(L"HevcPeakBitrate", variantInt(peak));
    set(L"HevcFrameRate", variantRate(config.fps, 1));
    set(L"HevcGOPSize", variantInt(config.gopLength));
    set(L"HevcGOPSPerIDR", variantInt(1));
    set(L"HevcHeaderInsertionMode", variantInt(2));
    set(L"HevcVBVBufferSize", variantInt(vbv));
    set(L"HevcInitialVBVBufferFullness", variantInt(64));
    set(L"LowLatencyInternal", variantBool(true));
    set(L"HevcEnableVBAQ", variantBool(true));
    if (config.fullRangeColor) {
      set(L"HevcNominalRange", variantInt(1));
      SPDLOG_INFO("AMF HEVC: Full range color (0-255) enabled");
    }
  } else {
    set(L"Usage", variantInt(2));
    set(L"QualityPreset", variantInt(1));
    set(L"Profile", variantInt(77));
    set(L"RateControlMethod", variantInt(1));
    set(L"TargetBitrate", variantInt(target));
    set(L"PeakBitrate", variantInt(peak));
    set(L"FrameRate", variantRate(config.fps, 1));
    set(L"IDRPeriod", variantInt(config.gopLength));
    set(L"BPicturesPattern", variantInt(0));
    set(L"HeaderInsertionSpacing", variantInt(0));
    set(L"VBVBufferSize", variantInt(vbv));
    set(L"InitialVBVBufferFullness", variantInt(64));
    set(L"LowLatencyInternal", variantBool(true));
    if (config.enableSlices && config.sliceCount > 1) {
      set(L"SlicesPerFrame", variantInt(config.sliceCount));
    }
    set(L"EnableVBAQ", variantBool(true));
    if (config.fullRangeColor) {
      set(L"FullRangeColor", variantBool(true));
      SPDLOG_INFO("AMF H.264: Full range color (0-255) enabled");
    }
  }

  result = amfComponent->Init(AMF_SURFACE_BGRA, static_cast<int32_t>(config.width),
                              static_cast<int32_t>(config.height));
  if (result != AMF_OK) {
    SPDLOG_ERROR("AMF ENCODER ERROR: Failed to init {}x{} (error {}). {}", config.width, config.height,
                 result, initHint(result));
    return false;
  }
  return true;
}

bool AmfEncoder::encodeFrame(ID3D11Texture2D* texture) {
  if (!initialized.load() || texture == nullptr) {
    return false;
  }
  AMFSurface* surface = nullptr;
  AMF_RESULT result = amfContext->CreateSurfaceFromDX11Native(texture, &surface, nullptr);
  if (result != AMF_OK || surface == nullptr) {
    SPDLOG_ERROR("Failed to create AMF surface from texture: {}", result);
    if (surface != nullptr) {
      surface->Release();
    }
    return false;
  }
  surface->SetPts(frameCounter);
  if (keyframeRequested.exchange(false)) {
    surface->SetProperty(isHevc ? L"HevcForcePictureType" : L"ForcePictureType", variantInt(2));
  }
  result = amfComponent->SubmitInput(surface);
  if (result == AMF_INPUT_FULL) {
    drainOutput();
    result = amfComponent->SubmitInput(surface);
  }
  if (result == AMF_OK) {
    frameCounter += 1;
    drainOutput();
    surface->Release();
    return true;
  }
  SPDLOG_ERROR("Failed to submit frame to AMF encoder: {}", result);
  surface->Release();
  return false;
}

void AmfEncoder::drainOutput() {
  for (;;) {
    AMFData* data = nullptr;
    const AMF_RESULT result = amfComponent->QueryOutput(&data);
    if (result != AMF_OK || data == nullptr) {
      if (data != nullptr) {
        data->Release();
      }
      return;
    }
    AMFBuffer* buffer = nullptr;
    if (data->QueryInterface(IID_AMFBuffer, reinterpret_cast<void**>(&buffer)) != AMF_OK ||
        buffer == nullptr) {
      data->Release();
      continue;
    }
    const auto* bytes = static_cast<const uint8_t*>(buffer->GetNative());
    const size_t size = buffer->GetSize();
    if (bytes != nullptr && size != 0 && frameCallback) {
      // A buffer without the output type is not taken for an IDR.
      AMFVariantStruct type{};
      const bool typed =
          buffer->GetProperty(isHevc ? L"HevcOutputDataType" : L"OutputDataType", &type) == AMF_OK &&
          type.type == AMF_VARIANT_INT64;
      const bool keyframe = typed && type.int64Value == 0;
      if (keyframe) {
        headers.extract(bytes, size, isHevc);
      }
      EncodedFrame frame;
      frame.data = bytes;
      frame.size = size;
      frame.timestamp = buffer->GetPts();
      frame.keyframe = keyframe;
      frame.frameNumber = static_cast<uint32_t>(frame.timestamp);
      frameCallback(frame);
      std::lock_guard lock(statsMutex);
      stats.framesEncoded += 1;
      stats.bytesEncoded += size;
    }
    buffer->Release();
    data->Release();
  }
}

void AmfEncoder::setBitrate(uint32_t bitrateKbps, uint32_t maxBitrateKbps) {
  if (!initialized.load() || amfComponent == nullptr) {
    return;
  }
  config.bitrate = bitrateKbps;
  config.maxBitrate = maxBitrateKbps;
  amfComponent->SetProperty(isHevc ? L"HevcTargetBitrate" : L"TargetBitrate",
                            variantInt(int64_t{bitrateKbps} * 1000));
  amfComponent->SetProperty(isHevc ? L"HevcPeakBitrate" : L"PeakBitrate",
                            variantInt(int64_t{maxBitrateKbps} * 1000));
  SPDLOG_INFO("AMF bitrate updated to {} / {} kbps", bitrateKbps, maxBitrateKbps);
}

bool AmfEncoder::reconfigure(const EncoderConfig& newConfig) {
  if (!initialized.load()) {
    SPDLOG_ERROR("AMF encoder not initialized, cannot reconfigure");
    return false;
  }
  if (newConfig.width == config.width && newConfig.height == config.height) {
    setBitrate(newConfig.bitrate, newConfig.maxBitrate);
    return true;
  }
  SPDLOG_INFO("AMF resolution change requires reinit: {}x{} -> {}x{}", config.width, config.height,
              newConfig.width, newConfig.height);
  Microsoft::WRL::ComPtr<ID3D11Device> keep = device;
  shutdown();
  return initialize(keep.Get(), newConfig);
}

EncoderStats AmfEncoder::getStats() const {
  std::lock_guard lock(statsMutex);
  return stats;
}

void AmfEncoder::releaseAll() {
  if (amfComponent != nullptr) {
    amfComponent->Terminate();
    amfComponent->Release();
    amfComponent = nullptr;
  }
  if (amfContext != nullptr) {
    amfContext->Terminate();
    amfContext->Release();
    amfContext = nullptr;
  }
  amfFactory = nullptr;
  if (amfModule != nullptr) {
    FreeLibrary(amfModule);
    amfModule = nullptr;
  }
  context.Reset();
  device.Reset();
}

void AmfEncoder::shutdown() {
  if (!initialized.load()) {
    return;
  }
  initialized.store(false);
  releaseAll();
  SPDLOG_INFO("AMF encoder shutdown");
}

}  // namespace quorvane::host
