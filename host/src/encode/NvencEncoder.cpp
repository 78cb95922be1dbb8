#include "encode/NvencEncoder.h"

#include <atomic>
#include <chrono>
#include <cstring>

#include <spdlog/spdlog.h>

namespace quorvane::host {

namespace {

using CreateInstanceFn = NVENCSTATUS(NVENCAPI*)(NV_ENCODE_API_FUNCTION_LIST*);

// Frames processed by every NVENC encoder of the process; the first one is logged.
std::atomic<uint64_t> processedFrames{0};

// Field types differ between header versions (plain integers in older ones, enums in
// newer ones); assign through the field's own type.
template <typename Field>
void setField(Field& field, uint32_t value) {
  field = static_cast<Field>(value);
}

template <typename Vui>
void setFullRangeBt709(Vui& vui) {
  vui.videoSignalTypePresentFlag = 1;
  vui.videoFullRangeFlag = 1;
  vui.colourDescriptionPresentFlag = 1;
  setField(vui.colourPrimaries, 1);
  setField(vui.transferCharacteristics, 1);
  setField(vui.colourMatrix, 1);
}

const char* openSessionHint(NVENCSTATUS status) {
  switch (status) {
    case NV_ENC_ERR_INVALID_PARAM:
      return "Invalid parameter - check resolution/settings";
    case NV_ENC_ERR_OUT_OF_MEMORY:
      return "GPU memory exhausted - close other apps using NVENC";
    case NV_ENC_ERR_INVALID_VERSION:
      return "NVIDIA driver too old! Update to driver 550+ (2024 or newer)";
    case NV_ENC_ERR_GENERIC:
      return "GPU doesn't support NVENC - need GTX 600 series or newer";
    default:
      return "Try updating NVIDIA drivers to latest version";
  }
}

const char* firstNalName(const std::vector<uint8_t>& data) {
  if (data.size() < 5 || data[0] != 0 || data[1] != 0) {
    return "Unknown";
  }
  size_t header;
  if (data[2] == 1) {
    header = 3;
  } else if (data[2] == 0 && data[3] == 1) {
    header = 4;
  } else {
    return "Unknown";
  }
  switch (data[header] & 0x1F) {
    case 1:
      return "Non-IDR slice";
    case 5:
      return "IDR slice";
    case 6:
      return "SEI";
    case 7:
      return "SPS";
    case 8:
      return "PPS";
    case 9:
      return "AUD";
    default:
      return "Other";
  }
}

}  // namespace

NvencEncoder::NvencEncoder() : encodeGuid(NV_ENC_CODEC_H264_GUID), presetGuid(NV_ENC_PRESET_P1_GUID) {
  functionList.version = NV_ENCODE_API_FUNCTION_LIST_VER;
}

NvencEncoder::~NvencEncoder() { shutdown(); }

bool NvencEncoder::initialize(ID3D11Device* newDevice, const EncoderConfig& newConfig) {
  if (initialized) {
    SPDLOG_WARN("NVENC encoder already initialized");
    return true;
  }
  if (newDevice == nullptr || !validateConfig(newConfig, "NVENC")) {
    return false;
  }
  device = newDevice;
  context.Reset();
  device->GetImmediateContext(&context);
  config = newConfig;
  encodeGuid = isHevcCodec(config.codec) ? NV_ENC_CODEC_HEVC_GUID : NV_ENC_CODEC_H264_GUID;

  if (!loadNvenc() || !createEncoder() || !createBuffers()) {
    releaseResources();
    return false;
  }
  initialized = true;
  SPDLOG_INFO("NVENC encoder initialized: {}x{} @ {} kbps, {} fps", config.width, config.height,
              config.bitrate, config.fps);
  return true;
}

bool NvencEncoder::loadNvenc() {
  nvencModule = LoadLibraryW(L"nvEncodeAPI64.dll");
  if (nvencModule == nullptr) {
    SPDLOG_ERROR("Failed to load nvEncodeAPI64.dll");
    return false;
  }
  auto createInstance = reinterpret_cast<CreateInstanceFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(nvencModule, "NvEncodeAPICreateInstance")));
  if (createInstance == nullptr) {
    SPDLOG_ERROR("Failed to get NvEncodeAPICreateInstance");
    return false;  // the caller frees the library
  }
  const NVENCSTATUS status = createInstance(&functionList);
  if (status != NV_ENC_SUCCESS) {
    SPDLOG_ERROR("NvEncodeAPICreateInstance failed: {}", static_cast<int>(status));
    return false;
  }
  SPDLOG_INFO("NVENC API loaded successfully");
  return true;
}

void NvencEncoder::fillInitializeParams(NV_ENC_INITIALIZE_PARAMS& params, NV_ENC_CONFIG* encodeConfig) const {
  params.version = NV_ENC_INITIALIZE_PARAMS_VER;
  params.encodeGUID = encodeGuid;
  params.presetGUID = presetGuid;
  params.encodeWidth = config.width;
  params.encodeHeight = config.height;
  params.darWidth = config.width;
  params.darHeight = config.height;
  params.maxEncodeWidth = config.width;
  params.maxEncodeHeight = config.height;
  params.frameRateNum = config.fps;
  params.frameRateDen = 1;
  params.enableEncodeAsync = 0;
  params.enablePTD = 1;
  params.reportSliceOffsets = 0;
  params.enableSubFrameWrite = 0;
  params.enableWeightedPrediction = 0;
  params.encodeConfig = encodeConfig;
  params.tuningInfo = NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY;
}

bool NvencEncoder::createEncoder() {
  NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS sessionParams{};
  sessionParams.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
  sessionParams.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX;
  sessionParams.device = device.Get();
  sessionParams.apiVersion = NVENCAPI_VERSION;
  NVENCSTATUS status = functionList.nvEncOpenEncodeSessionEx(&sessionParams, &encoderHandle);
  if (status != NV_ENC_SUCCESS) {
    encoderHandle = nullptr;
    SPDLOG_ERROR("NVENC ERROR: Failed to open encode session (error {}). {}", static_cast<int>(status),
                 openSessionHint(status));
    return false;
  }

  NV_ENC_PRESET_CONFIG presetConfig{};
  presetConfig.version = NV_ENC_PRESET_CONFIG_VER;
  presetConfig.presetCfg.version = NV_ENC_CONFIG_VER;
  status = functionList.nvEncGetEncodePresetConfigEx(encoderHandle, encodeGuid, presetGuid,
                                                     NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY, &presetConfig);
  if (status != NV_ENC_SUCCESS) {
    SPDLOG_ERROR("nvEncGetEncodePresetConfigEx failed: {}", static_cast<int>(status));
    return false;  // the caller destroys the session
  }

  NV_ENC_CONFIG encodeConfig = presetConfig.presetCfg;
  encodeConfig.version = NV_ENC_CONFIG_VER;
  encodeConfig.gopLength = config.gopLength;
  encodeConfig.frameIntervalP = 1;
  auto& rc = encodeConfig.rcParams;
  rc.rateControlMode = NV_ENC_PARAMS_RC_CBR;
  rc.averageBitRate = kbpsToBitsPerSecond(config.bitrate);
  rc.maxBitRate = kbpsToBitsPerSecond(config.maxBitrate);
  rc.vbvBufferSize = vbvBufferBits(config.maxBitrate, config.fps);
  rc.vbvInitialDelay = rc.vbvBufferSize;
  rc.enableAQ = 1;
  rc.zeroReorderDelay = 1;
  rc.aqStrength = 8;

  if (IsEqualGUID(encodeGuid, NV_ENC_CODEC_H264_GUID)) {
    auto& h264 = encodeConfig.encodeCodecConfig.h264Config;
    h264.outputBufferingPeriodSEI = 0;
    h264.outputPictureTimingSEI = 0;
    h264.outputAUD = 0;
    h264.disableSPSPPS = 0;
    h264.outputFramePackingSEI = 0;
    h264.enableIntraRefresh = 0;
    h264.repeatSPSPPS = 1;
    setField(h264.level, NV_ENC_LEVEL_AUTOSELECT);
    h264.idrPeriod = config.gopLength;
    h264.maxNumRefFrames = 1;
    h264.sliceMode = 3;
    h264.sliceModeData = config.sliceCount;
    if (config.profile == "baseline") {
      setField(h264.h264VUIParameters.videoFormat, 5);
    }
    if (config.fullRangeColor) {
      setFullRangeBt709(h264.h264VUIParameters);
      SPDLOG_INFO("NVENC H.264: Full range color (0-255) enabled");
    }
  } else {
    auto& hevc = encodeConfig.encodeCodecConfig.hevcConfig;
    hevc.repeatSPSPPS = 1;
    hevc.idrPeriod = config.gopLength;
    hevc.maxNumRefFramesInDPB = 1;
    hevc.sliceMode = 3;
    hevc.sliceModeData = config.sliceCount;
    if (config.fullRangeColor) {
      setFullRangeBt709(hevc.hevcVUIParameters);
      SPDLOG_INFO("NVENC HEVC: Full range color (0-255) enabled");
    }
  }

  nvencConfig = encodeConfig;
  NV_ENC_INITIALIZE_PARAMS initParams{};
  fillInitializeParams(initParams, &nvencConfig);
  status = functionList.nvEncInitializeEncoder(encoderHandle, &initParams);
  if (status != NV_ENC_SUCCESS) {
    SPDLOG_ERROR("nvEncInitializeEncoder failed: {}", static_cast<int>(status));
    return false;
  }
  return true;
}

bool NvencEncoder::createBuffers() {
  inputResources.resize(4);
  bitstreamBuffers.resize(4);
  for (size_t slot = 0; slot < 4; ++slot) {
    auto& input = inputResources[slot];
    input.texture.Reset();
    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = config.width;
    desc.Height = config.height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.SampleDesc.Quality = 0;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET;
    desc.CPUAccessFlags = 0;
    desc.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
    const HRESULT hr = device->CreateTexture2D(&desc, nullptr, &input.texture);
    if (FAILED(hr)) {
      SPDLOG_ERROR("Failed to create input texture: {:#x}", static_cast<uint32_t>(hr));
      return false;
    }

    NV_ENC_REGISTER_RESOURCE reg{};
    reg.version = NV_ENC_REGISTER_RESOURCE_VER;
    reg.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX;
    reg.width = config.width;
    reg.height = config.height;
    reg.pitch = 0;
    reg.subResourceIndex = 0;
    reg.resourceToRegister = input.texture.Get();
    reg.bufferFormat = NV_ENC_BUFFER_FORMAT_ARGB;
    reg.bufferUsage = NV_ENC_INPUT_IMAGE;
    NVENCSTATUS status = functionList.nvEncRegisterResource(encoderHandle, &reg);
    if (status != NV_ENC_SUCCESS) {
      SPDLOG_ERROR("nvEncRegisterResource failed: {}", static_cast<int>(status));
      return false;
    }
    input.registeredResource = reg.registeredResource;

    NV_ENC_CREATE_BITSTREAM_BUFFER create{};
    create.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
    status = functionList.nvEncCreateBitstreamBuffer(encoderHandle, &create);
    if (status != NV_ENC_SUCCESS) {
      SPDLOG_ERROR("nvEncCreateBitstreamBuffer failed: {}", static_cast<int>(status));
      return false;
    }
    bitstreamBuffers[slot].outputBuffer = create.bitstreamBuffer;
    bitstreamBuffers[slot].data.reserve(size_t{config.width} * config.height);
  }
  return true;
}

bool NvencEncoder::encodeFrame(ID3D11Texture2D* texture) {
  if (!initialized || texture == nullptr) {
    return false;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const uint32_t slot = ringIndex;
  auto& input = inputResources[slot];
  context->CopyResource(input.texture.Get(), texture);

  NV_ENC_MAP_INPUT_RESOURCE map{};
  map.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
  map.registeredResource = input.registeredResource;
  NVENCSTATUS status = functionList.nvEncMapInputResource(encoderHandle, &map);
  if (status != NV_ENC_SUCCESS) {
    SPDLOG_ERROR("nvEncMapInputResource failed: {}", static_cast<int>(status));
    return false;
  }
  input.mappedResource = map.mappedResource;
  input.mapped = true;

  NV_ENC_PIC_PARAMS pic{};
  pic.version = NV_ENC_PIC_PARAMS_VER;
  pic.inputWidth = config.width;
  pic.inputHeight = config.height;
  pic.inputPitch = 0;
  pic.frameIdx = 0;
  pic.inputTimeStamp = frameCounter;
  pic.inputDuration = 0;
  pic.inputBuffer = input.mappedResource;
  pic.outputBitstream = bitstreamBuffers[slot].outputBuffer;
  pic.completionEvent = nullptr;
  pic.bufferFmt = map.mappedBufferFmt;
  pic.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
  const bool forcedIdr = keyframeRequested;
  if (forcedIdr) {
    pic.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;
    keyframeRequested = false;
  }

  status = functionList.nvEncEncodePicture(encoderHandle, &pic);
  functionList.nvEncUnmapInputResource(encoderHandle, input.mappedResource);
  input.mapped = false;
  input.mappedResource = nullptr;
  if (status != NV_ENC_SUCCESS) {
    SPDLOG_ERROR("nvEncEncodePicture failed: {}", static_cast<int>(status));
    return false;
  }

  if (!processOutput(slot)) {
    // The caller never saw this picture: a forced IDR it carried must come again.
    keyframeRequested = keyframeRequested || forcedIdr;
    return false;
  }

  {
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::lock_guard lock(statsMutex);
    stats.framesEncoded += 1;
    stats.avgEncodeTimeMs = elapsedMs * 0.05 + stats.avgEncodeTimeMs * 0.95;
  }
  ringIndex = (ringIndex + 1) & 3;
  frameCounter += 1;
  return true;
}

bool NvencEncoder::processOutput(uint32_t slot) {
  auto& buffer = bitstreamBuffers[slot];
  NV_ENC_LOCK_BITSTREAM lock{};
  lock.version = NV_ENC_LOCK_BITSTREAM_VER;
  lock.outputBitstream = buffer.outputBuffer;
  lock.doNotWait = 0;
  const NVENCSTATUS status = functionList.nvEncLockBitstream(encoderHandle, &lock);
  if (status != NV_ENC_SUCCESS) {
    SPDLOG_ERROR("nvEncLockBitstream failed: {}", static_cast<int>(status));
    return false;
  }
  const auto* bytes = static_cast<const uint8_t*>(lock.bitstreamBufferPtr);
  buffer.data.assign(bytes, bytes + lock.bitstreamSizeInBytes);
  const bool keyframe = lock.pictureType == NV_ENC_PIC_TYPE_I || lock.pictureType == NV_ENC_PIC_TYPE_IDR;
  functionList.nvEncUnlockBitstream(encoderHandle, buffer.outputBuffer);

  if (keyframe) {
    headers.extract(buffer.data.data(), buffer.data.size(), isHevcCodec(config.codec));
  }
  {
    std::lock_guard statsLock(statsMutex);
    stats.bytesEncoded += buffer.data.size();
  }
  if (processedFrames.fetch_add(1) == 0) {
    SPDLOG_INFO("First encoded frame: {} bytes, keyframe={}, NAL={}", buffer.data.size(), keyframe,
                firstNalName(buffer.data));
  }
  if (frameCallback) {
    EncodedFrame frame;
    frame.data = buffer.data.data();
    frame.size = buffer.data.size();
    frame.timestamp = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count() /
                      1000;
    frame.keyframe = keyframe;
    frame.frameNumber = frameCounter;
    frameCallback(frame);
  }
  return true;
}

void NvencEncoder::setBitrate(uint32_t bitrateKbps, uint32_t maxBitrateKbps) {
  if (!initialized) {
    return;
  }
  nvencConfig.rcParams.averageBitRate = kbpsToBitsPerSecond(bitrateKbps);
  nvencConfig.rcParams.maxBitRate = kbpsToBitsPerSecond(maxBitrateKbps);
  nvencConfig.rcParams.vbvBufferSize = vbvBufferBits(maxBitrateKbps, config.fps);

  NV_ENC_RECONFIGURE_PARAMS params{};
  params.version = NV_ENC_RECONFIGURE_PARAMS_VER;
  fillInitializeParams(params.reInitEncodeParams, &nvencConfig);
  params.reInitEncodeParams.maxEncodeWidth = 0;
  params.reInitEncodeParams.maxEncodeHeight = 0;
  params.resetEncoder = 0;
  params.forceIDR = 1;
  const NVENCSTATUS status = functionList.nvEncReconfigureEncoder(encoderHandle, &params);
  if (status != NV_ENC_SUCCESS) {
    SPDLOG_WARN("Failed to reconfigure bitrate: {}", static_cast<int>(status));
    return;
  }
  config.bitrate = bitrateKbps;
  config.maxBitrate = maxBitrateKbps;
  SPDLOG_INFO("Bitrate updated to {} / {} kbps", bitrateKbps, maxBitrateKbps);
}

bool NvencEncoder::reconfigure(const EncoderConfig& newConfig) {
  if (!initialized) {
    return false;
  }
  if (newConfig.width != config.width || newConfig.height != config.height) {
    SPDLOG_WARN("Resolution change requires re-initialization");
    return false;
  }
  setBitrate(newConfig.bitrate, newConfig.maxBitrate);
  return true;
}

EncoderStats NvencEncoder::getStats() const {
  std::lock_guard lock(statsMutex);
  return stats;
}

void NvencEncoder::releaseResources() {
  for (auto& input : inputResources) {
    if (input.mapped && encoderHandle != nullptr) {
      functionList.nvEncUnmapInputResource(encoderHandle, input.mappedResource);
    }
    if (input.registeredResource != nullptr && encoderHandle != nullptr) {
      functionList.nvEncUnregisterResource(encoderHandle, input.registeredResource);
    }
    input.texture.Reset();
  }
  inputResources.clear();
  for (auto& buffer : bitstreamBuffers) {
    if (buffer.outputBuffer != nullptr && encoderHandle != nullptr) {
      functionList.nvEncDestroyBitstreamBuffer(encoderHandle, buffer.outputBuffer);
    }
  }
  bitstreamBuffers.clear();
  if (encoderHandle != nullptr) {
    functionList.nvEncDestroyEncoder(encoderHandle);
    encoderHandle = nullptr;
  }
  if (nvencModule != nullptr) {
    FreeLibrary(nvencModule);
    nvencModule = nullptr;
  }
  // The entry points belong to the library just freed.
  std::memset(&functionList, 0, sizeof(functionList));
  functionList.version = NV_ENCODE_API_FUNCTION_LIST_VER;
  context.Reset();
  device.Reset();
  initialized = false;
}

void NvencEncoder::shutdown() {
  if (!initialized) {
    return;
  }
  SPDLOG_INFO("Shutting down NVENC encoder...");
  releaseResources();
}

}  // namespace quorvane::host
