// A stand-in for the NVENC runtime library: the same file name and exports, encoding
// on the CPU with the software H.264 encoder. Once a test has reset it, it keeps a log of
// the calls it gets; it keeps the parameters they carried and can be told to fail any
// entry point, through the StandinNvenc* exports that only tests call. Loaded by a
// program that never resets it (the stand-in host), it logs nothing, so that a long run
// does not grow the log by every frame's calls.
#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <nvEncodeAPI.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "SoftwareH264.h"

using Microsoft::WRL::ComPtr;
using quorvane::standin::SoftwareH264;
using quorvane::standin::SoftwareH264Settings;

namespace {

struct Registration {
  ComPtr<ID3D11Texture2D> texture;
  bool mapped = false;
};

struct Bitstream {
  std::vector<uint8_t> data;
  bool locked = false;
  bool idr = false;
  uint64_t timeStamp = 0;
  uint32_t frameIdx = 0;
};

struct Session {
  ComPtr<ID3D11Device> device;
  bool initialized = false;
  bool hevc = false;
  NV_ENC_CONFIG config{};
  SoftwareH264 h264;
  uint32_t frames = 0;
  uint32_t idrPeriod = 0;
  bool idrPending = false;
  std::set<Registration*> registrations;
  std::set<Bitstream*> bitstreams;
};

struct State {
  std::mutex mutex;
  std::set<Session*> sessions;
  bool recording = false;  // from the first reset on: a test watches the calls
  std::vector<std::string> calls;
  std::string callText;
  std::map<std::string, NVENCSTATUS> failures;
  size_t maxSessions = 0;  // open sessions allowed at once, 0 for no limit
  NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS lastOpen{};
  NV_ENC_INITIALIZE_PARAMS lastInit{};
  NV_ENC_CONFIG lastInitConfig{};
  NV_ENC_RECONFIGURE_PARAMS lastReconfigure{};
  NV_ENC_CONFIG lastReconfigureConfig{};
  NV_ENC_REGISTER_RESOURCE lastRegister{};
  uint32_t lastPicFlags = 0;
  uint64_t encodeNanos = 0;
};

// Made when the DLL loads rather than on first use: a guarded first use goes through the thread
// library linked into this DLL, which then keeps a record of the calling thread and a lock of its
// own that are never given back when the DLL is freed, and the host frees the runtime after every
// encoder.
State g_state;

State& state() { return g_state; }

// Logs the call (while a test watches) and returns the failure the test asked for, or success.
NVENCSTATUS enter(const char* name) {
  State& s = state();
  if (s.recording) {
    s.calls.emplace_back(name);
  }
  auto it = s.failures.find(name);
  return it == s.failures.end() ? NV_ENC_SUCCESS : it->second;
}

Session* findSession(void* encoder) {
  auto* session = static_cast<Session*>(encoder);
  return state().sessions.count(session) != 0 ? session : nullptr;
}

#define STANDIN_ENTER(name)                 \
  std::lock_guard lock(state().mutex);      \
  if (NVENCSTATUS injected = enter(name)) { \
    return injected;                        \
  }

NVENCSTATUS NVENCAPI openSessionEx(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params, void** encoder) {
  STANDIN_ENTER("nvEncOpenEncodeSessionEx");
  if (params == nullptr || encoder == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  state().lastOpen = *params;
  if (params->version != NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER || params->apiVersion != NVENCAPI_VERSION) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  if (params->deviceType != NV_ENC_DEVICE_TYPE_DIRECTX || params->device == nullptr) {
    return NV_ENC_ERR_INVALID_DEVICE;
  }
  // Consumer GPUs refuse sessions beyond their limit as running out of memory.
  if (state().maxSessions != 0 && state().sessions.size() >= state().maxSessions) {
    return NV_ENC_ERR_OUT_OF_MEMORY;
  }
  auto* session = new Session;
  session->device = static_cast<ID3D11Device*>(params->device);
  state().sessions.insert(session);
  *encoder = session;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI getPresetConfigEx(void* encoder, GUID codec, GUID preset, NV_ENC_TUNING_INFO tuning,
                                       NV_ENC_PRESET_CONFIG* presetConfig) {
  STANDIN_ENTER("nvEncGetEncodePresetConfigEx");
  if (findSession(encoder) == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  if (presetConfig == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  if (presetConfig->version != NV_ENC_PRESET_CONFIG_VER ||
      presetConfig->presetCfg.version != NV_ENC_CONFIG_VER) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  const bool h264 = IsEqualGUID(codec, NV_ENC_CODEC_H264_GUID);
  if ((!h264 && !IsEqualGUID(codec, NV_ENC_CODEC_HEVC_GUID)) || !IsEqualGUID(preset, NV_ENC_PRESET_P1_GUID) ||
      tuning == NV_ENC_TUNING_INFO_UNDEFINED) {
    return NV_ENC_ERR_INVALID_PARAM;
  }
  // A preset of our own: variable rate, long GOP, parameter sets only at the start.
  NV_ENC_CONFIG& cfg = presetConfig->presetCfg;
  std::memset(&cfg, 0, sizeof(cfg));
  cfg.version = NV_ENC_CONFIG_VER;
  cfg.profileGUID = h264 ? NV_ENC_H264_PROFILE_HIGH_GUID : NV_ENC_HEVC_PROFILE_MAIN_GUID;
  cfg.gopLength = 250;
  cfg.frameIntervalP = 3;
  cfg.rcParams.rateControlMode = NV_ENC_PARAMS_RC_VBR;
  cfg.rcParams.averageBitRate = 5000000;
  if (h264) {
    cfg.encodeCodecConfig.h264Config.idrPeriod = 250;
    cfg.encodeCodecConfig.h264Config.outputAUD = 1;
    cfg.encodeCodecConfig.h264Config.maxNumRefFrames = 4;
  } else {
    cfg.encodeCodecConfig.hevcConfig.idrPeriod = 250;
    cfg.encodeCodecConfig.hevcConfig.maxNumRefFramesInDPB = 4;
  }
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI initializeEncoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* params) {
  STANDIN_ENTER("nvEncInitializeEncoder");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  if (params == nullptr || params->encodeConfig == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  if (params->version != NV_ENC_INITIALIZE_PARAMS_VER || params->encodeConfig->version != NV_ENC_CONFIG_VER) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  if (session->initialized || params->encodeWidth == 0 || params->encodeHeight == 0 ||
      params->frameRateNum == 0 || params->enableEncodeAsync != 0) {
    return NV_ENC_ERR_INVALID_PARAM;
  }
  State& s = state();
  s.lastInit = *params;
  s.lastInitConfig = *params->encodeConfig;
  s.lastInit.encodeConfig = &s.lastInitConfig;
  session->config = *params->encodeConfig;
  session->hevc = IsEqualGUID(params->encodeGUID, NV_ENC_CODEC_HEVC_GUID);
  SoftwareH264Settings settings;
  settings.width = params->encodeWidth;
  settings.height = params->encodeHeight;
  settings.bitrate = session->config.rcParams.averageBitRate;
  settings.maxBitrate = session->config.rcParams.maxBitRate;
  settings.fps = params->frameRateNum / (params->frameRateDen ? params->frameRateDen : 1);
  if (session->hevc) {
    session->idrPeriod = session->config.encodeCodecConfig.hevcConfig.idrPeriod;
  } else {
    const auto& h264 = session->config.encodeCodecConfig.h264Config;
    session->idrPeriod = h264.idrPeriod;
    settings.idrPeriod = h264.idrPeriod;
    settings.slices = h264.sliceMode == 3 ? h264.sliceModeData : 1;
    settings.fullRange = h264.h264VUIParameters.videoFullRangeFlag != 0;
    if (!session->h264.open(settings)) {
      return NV_ENC_ERR_INVALID_PARAM;
    }
  }
  session->initialized = true;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI registerResource(void* encoder, NV_ENC_REGISTER_RESOURCE* params) {
  STANDIN_ENTER("nvEncRegisterResource");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  if (params == nullptr || params->resourceToRegister == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  state().lastRegister = *params;
  if (params->version != NV_ENC_REGISTER_RESOURCE_VER) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  if (params->resourceType != NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX ||
      params->bufferUsage != NV_ENC_INPUT_IMAGE) {
    return NV_ENC_ERR_INVALID_PARAM;
  }
  auto* reg = new Registration;
  reg->texture = static_cast<ID3D11Texture2D*>(params->resourceToRegister);
  session->registrations.insert(reg);
  params->registeredResource = reg;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unregisterResource(void* encoder, NV_ENC_REGISTERED_PTR resource) {
  STANDIN_ENTER("nvEncUnregisterResource");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  auto* reg = static_cast<Registration*>(resource);
  if (session->registrations.erase(reg) == 0) {
    return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
  }
  delete reg;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI createBitstreamBuffer(void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* params) {
  STANDIN_ENTER("nvEncCreateBitstreamBuffer");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  if (params == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  if (params->version != NV_ENC_CREATE_BITSTREAM_BUFFER_VER) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  auto* buffer = new Bitstream;
  session->bitstreams.insert(buffer);
  params->bitstreamBuffer = buffer;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI destroyBitstreamBuffer(void* encoder, NV_ENC_OUTPUT_PTR output) {
  STANDIN_ENTER("nvEncDestroyBitstreamBuffer");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  auto* buffer = static_cast<Bitstream*>(output);
  if (session->bitstreams.erase(buffer) == 0) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  delete buffer;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI mapInputResource(void* encoder, NV_ENC_MAP_INPUT_RESOURCE* params) {
  STANDIN_ENTER("nvEncMapInputResource");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  if (params == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  if (params->version != NV_ENC_MAP_INPUT_RESOURCE_VER) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  auto* reg = static_cast<Registration*>(params->registeredResource);
  if (session->registrations.count(reg) == 0) {
    return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
  }
  if (reg->mapped) {
    return NV_ENC_ERR_RESOURCE_REGISTER_FAILED;
  }
  reg->mapped = true;
  params->mappedResource = reg;  // the registration doubles as the mapped input
  params->mappedBufferFmt = NV_ENC_BUFFER_FORMAT_ARGB;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unmapInputResource(void* encoder, NV_ENC_INPUT_PTR mapped) {
  STANDIN_ENTER("nvEncUnmapInputResource");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  auto* reg = static_cast<Registration*>(mapped);
  if (session->registrations.count(reg) == 0 || !reg->mapped) {
    return NV_ENC_ERR_RESOURCE_NOT_MAPPED;
  }
  reg->mapped = false;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI encodePicture(void* encoder, NV_ENC_PIC_PARAMS* params) {
  STANDIN_ENTER("nvEncEncodePicture");
  Session* session = findSession(encoder);
  if (session == nullptr || !session->initialized) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  if (params == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  if (params->version != NV_ENC_PIC_PARAMS_VER) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  auto* reg = static_cast<Registration*>(params->inputBuffer);
  auto* out = static_cast<Bitstream*>(params->outputBitstream);
  if (session->registrations.count(reg) == 0 || !reg->mapped || session->bitstreams.count(out) == 0 ||
      out->locked) {
    return NV_ENC_ERR_INVALID_PARAM;
  }
  state().lastPicFlags = params->encodePicFlags;
  const auto started = std::chrono::steady_clock::now();
  const bool force = (params->encodePicFlags & NV_ENC_PIC_FLAG_FORCEIDR) != 0 || session->idrPending;
  session->idrPending = false;
  if (session->hevc) {
    const bool idr = force || session->frames == 0 ||
                     (session->idrPeriod != 0 && session->frames % session->idrPeriod == 0);
    out->data = SoftwareH264::syntheticHevc(idr, session->frames);
    out->idr = idr;
  } else if (!session->h264.encode(reg->texture.Get(), force, out->data, out->idr)) {
    return NV_ENC_ERR_GENERIC;
  }
  out->timeStamp = params->inputTimeStamp;
  out->frameIdx = session->frames++;
  state().encodeNanos += static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started)
          .count());
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI lockBitstream(void* encoder, NV_ENC_LOCK_BITSTREAM* params) {
  STANDIN_ENTER("nvEncLockBitstream");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  if (params == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  if (params->version != NV_ENC_LOCK_BITSTREAM_VER) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  auto* buffer = static_cast<Bitstream*>(params->outputBitstream);
  if (session->bitstreams.count(buffer) == 0 || buffer->locked) {
    return NV_ENC_ERR_INVALID_PARAM;
  }
  buffer->locked = true;
  params->bitstreamBufferPtr = buffer->data.data();
  params->bitstreamSizeInBytes = static_cast<uint32_t>(buffer->data.size());
  params->pictureType = buffer->idr ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P;
  params->outputTimeStamp = buffer->timeStamp;
  params->frameIdx = buffer->frameIdx;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI unlockBitstream(void* encoder, NV_ENC_OUTPUT_PTR output) {
  STANDIN_ENTER("nvEncUnlockBitstream");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  auto* buffer = static_cast<Bitstream*>(output);
  if (session->bitstreams.count(buffer) == 0 || !buffer->locked) {
    return NV_ENC_ERR_INVALID_PARAM;
  }
  buffer->locked = false;
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI reconfigureEncoder(void* encoder, NV_ENC_RECONFIGURE_PARAMS* params) {
  STANDIN_ENTER("nvEncReconfigureEncoder");
  Session* session = findSession(encoder);
  if (session == nullptr || !session->initialized) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  if (params == nullptr || params->reInitEncodeParams.encodeConfig == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  if (params->version != NV_ENC_RECONFIGURE_PARAMS_VER ||
      params->reInitEncodeParams.version != NV_ENC_INITIALIZE_PARAMS_VER ||
      params->reInitEncodeParams.encodeConfig->version != NV_ENC_CONFIG_VER) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  State& s = state();
  s.lastReconfigure = *params;
  s.lastReconfigureConfig = *params->reInitEncodeParams.encodeConfig;
  s.lastReconfigure.reInitEncodeParams.encodeConfig = &s.lastReconfigureConfig;
  session->config = s.lastReconfigureConfig;
  session->h264.setBitrate(session->config.rcParams.averageBitRate, session->config.rcParams.maxBitRate);
  if (params->forceIDR) {
    session->idrPending = true;
  }
  return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI destroyEncoder(void* encoder) {
  STANDIN_ENTER("nvEncDestroyEncoder");
  Session* session = findSession(encoder);
  if (session == nullptr) {
    return NV_ENC_ERR_INVALID_ENCODERDEVICE;
  }
  // The runtime frees what the client left behind; the live count below still shows it.
  state().sessions.erase(session);
  for (auto* reg : session->registrations) {
    delete reg;
  }
  for (auto* buffer : session->bitstreams) {
    delete buffer;
  }
  delete session;
  return NV_ENC_SUCCESS;
}

}  // namespace

extern "C" {

__declspec(dllexport) NVENCSTATUS NVENCAPI NvEncodeAPIGetMaxSupportedVersion(uint32_t* version) {
  STANDIN_ENTER("NvEncodeAPIGetMaxSupportedVersion");
  if (version == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  *version = (NVENCAPI_MAJOR_VERSION << 4) | NVENCAPI_MINOR_VERSION;
  return NV_ENC_SUCCESS;
}

__declspec(dllexport) NVENCSTATUS NVENCAPI NvEncodeAPICreateInstance(NV_ENCODE_API_FUNCTION_LIST* list) {
  STANDIN_ENTER("NvEncodeAPICreateInstance");
  if (list == nullptr) {
    return NV_ENC_ERR_INVALID_PTR;
  }
  if (list->version != NV_ENCODE_API_FUNCTION_LIST_VER) {
    return NV_ENC_ERR_INVALID_VERSION;
  }
  list->nvEncOpenEncodeSessionEx = openSessionEx;
  list->nvEncGetEncodePresetConfigEx = getPresetConfigEx;
  list->nvEncInitializeEncoder = initializeEncoder;
  list->nvEncRegisterResource = registerResource;
  list->nvEncUnregisterResource = unregisterResource;
  list->nvEncCreateBitstreamBuffer = createBitstreamBuffer;
  list->nvEncDestroyBitstreamBuffer = destroyBitstreamBuffer;
  list->nvEncMapInputResource = mapInputResource;
  list->nvEncUnmapInputResource = unmapInputResource;
  list->nvEncEncodePicture = encodePicture;
  list->nvEncLockBitstream = lockBitstream;
  list->nvEncUnlockBitstream = unlockBitstream;
  list->nvEncReconfigureEncoder = reconfigureEncoder;
  list->nvEncDestroyEncoder = destroyEncoder;
  return NV_ENC_SUCCESS;
}

// Test control.

// No failures and no session limit; the call log starts afresh and stays on from now on.
__declspec(dllexport) void StandinNvencReset() {
  std::lock_guard lock(state().mutex);
  State& s = state();
  s.recording = true;
  s.calls.clear();
  s.failures.clear();
  s.maxSessions = 0;
  s.lastPicFlags = 0;
}

// Refuses to open more than `count` sessions at once (0: no limit).
__declspec(dllexport) void StandinNvencMaxSessions(int count) {
  std::lock_guard lock(state().mutex);
  state().maxSessions = count > 0 ? static_cast<size_t>(count) : 0;
}

// Makes every later call of `call` return `status`; status 0 lifts it.
__declspec(dllexport) void StandinNvencFail(const char* call, int status) {
  std::lock_guard lock(state().mutex);
  if (status == 0) {
    state().failures.erase(call);
  } else {
    state().failures[call] = static_cast<NVENCSTATUS>(status);
  }
}

// The calls since the last reset, one name per line; empty when no test ever reset the runtime.
__declspec(dllexport) const char* StandinNvencCalls() {
  std::lock_guard lock(state().mutex);
  State& s = state();
  s.callText.clear();
  for (const auto& call : s.calls) {
    s.callText += call;
    s.callText += '\n';
  }
  return s.callText.c_str();
}

// Open sessions plus the registrations, mappings and bitstream buffers they hold.
__declspec(dllexport) int StandinNvencLiveObjects() {
  std::lock_guard lock(state().mutex);
  int live = 0;
  for (auto* session : state().sessions) {
    live += 1 + static_cast<int>(session->registrations.size() + session->bitstreams.size());
    for (auto* reg : session->registrations) {
      live += reg->mapped ? 1 : 0;
    }
  }
  return live;
}

__declspec(dllexport) const NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* StandinNvencLastOpen() {
  return &state().lastOpen;
}
__declspec(dllexport) const NV_ENC_INITIALIZE_PARAMS* StandinNvencLastInit() { return &state().lastInit; }
__declspec(dllexport) const NV_ENC_RECONFIGURE_PARAMS* StandinNvencLastReconfigure() {
  return &state().lastReconfigure;
}
__declspec(dllexport) const NV_ENC_REGISTER_RESOURCE* StandinNvencLastRegister() {
  return &state().lastRegister;
}
__declspec(dllexport) uint32_t StandinNvencLastPicFlags() { return state().lastPicFlags; }
// Time spent encoding pictures (read-back, conversion and the software encoder) so far.
__declspec(dllexport) uint64_t StandinNvencEncodeNanos() { return state().encodeNanos; }

}  // extern "C"
