// Both hardware encoders on their stand-in runtimes, which log their calls and can fail any.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "encode/AmfEncoder.h"
#include "encode/NvencEncoder.h"
#include "encode/StandinLibrary.h"
#include "encode/TestDecoder.h"
#include "encode/TestDevice.h"

namespace quorvane::host {
namespace {

using U = std::vector<uint64_t>;
using Lines = std::vector<std::string>;

Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Nvenc {
  using Encoder = NvencEncoder;
  static constexpr const wchar_t* kDll = L"nvEncodeAPI64.dll";
  static constexpr const char* kPrefix = "StandinNvenc";
  static constexpr const char* kSteps[] = {"NvEncodeAPICreateInstance",    "nvEncOpenEncodeSessionEx",
                                           "nvEncGetEncodePresetConfigEx", "nvEncInitializeEncoder",
                                           "nvEncRegisterResource",        "nvEncCreateBitstreamBuffer"};
  static constexpr const char* kEncodeCall = "nvEncEncodePicture";
};

struct Amf {
  using Encoder = AmfEncoder;
  static constexpr const wchar_t* kDll = L"amfrt64.dll";
  static constexpr const char* kPrefix = "StandinAmf";
  static constexpr const char* kSteps[] = {"AMFInit", "Factory.CreateContext", "Context.InitDX11",
                                           "Factory.CreateComponent", "Component.Init"};
  static constexpr const char* kEncodeCall = "Component.SubmitInput";
};

// An access unit, with what getCodecHeaders and the runtime's call log said inside its callback.
struct Output {
  std::vector<uint8_t> data;
  bool keyframe;
  uint32_t frameNumber;
  bool headersValid;
  std::string calls;
};

const EncoderConfig kSmall{
    .width = 256, .height = 144, .bitrate = 4000, .maxBitrate = 6000, .fps = 30, .gopLength = 30};

// An encoder on a freshly reset stand-in runtime; every test ends with everything released.
template <typename Runtime>
class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override { runtime.reset(); }
  void TearDown() override {
    encoder.reset();
    runtime.expectAllReleased();
  }
  // Initializes with `c` and records every access unit.
  void start(const EncoderConfig& c = kSmall) {
    ASSERT_TRUE(encoder->initialize(gpu.device(), c));
    encoder->setFrameCallback([this](const EncodedFrame& f) {
      const bool valid = encoder->getCodecHeaders().valid;
      outputs.push_back({{f.data, f.data + f.size}, f.keyframe, f.frameNumber, valid, runtime.calls()});
    });
  }
  bool encodePattern(uint32_t frame, const EncoderConfig& c = kSmall) {
    pictures.push_back(test::TestDevice::pattern(c.width, c.height, frame));
    return encoder->encodeFrame(gpu.texture(pictures.back(), c.width, c.height).Get());
  }
  // The runtime's logged calls (or those in `log`) that start with `prefix`, without it.
  Lines calls(const std::string& prefix, const std::string& log = "") const {
    Lines out;
    std::istringstream in(log.empty() ? runtime.calls() : log);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
    }
    return out;
  }

  test::TestDevice gpu;
  test::StandinLibrary runtime{Runtime::kDll, Runtime::kPrefix};
  std::unique_ptr<typename Runtime::Encoder> encoder = std::make_unique<typename Runtime::Encoder>();
  std::vector<Output> outputs;
  std::vector<std::vector<uint8_t>> pictures;
};

using Runtimes = ::testing::Types<Nvenc, Amf>;
TYPED_TEST_SUITE(EncoderTest, Runtimes);

TYPED_TEST(EncoderTest, FailureAtEachRuntimeCallOrABadConfigurationReleasesEverything) {
  for (const char* step : TypeParam::kSteps) {
    SCOPED_TRACE(step);
    this->runtime.reset();
    this->runtime.fail(step, 10);
    typename TypeParam::Encoder failing;
    EXPECT_FALSE(failing.initialize(this->gpu.device(), kSmall) || failing.isInitialized());
    EXPECT_EQ(this->runtime.live(), 0);
  }
  this->runtime.reset();
  for (auto bad : {&EncoderConfig::fps, &EncoderConfig::width, &EncoderConfig::height}) {
    EncoderConfig c = kSmall;
    c.*bad = 0;
    EXPECT_FALSE(this->encoder->initialize(this->gpu.device(), c));
  }
  EXPECT_EQ(this->runtime.calls(), "");
}

// The same encoder on a runtime that no test has reset since it was loaded, as in the stand-in host.
template <typename Runtime>
class UnwatchedRuntimeTest : public EncoderTest<Runtime> {
 protected:
  void SetUp() override {}
};

TYPED_TEST_SUITE(UnwatchedRuntimeTest, Runtimes);

// Hours of streaming must not grow a log of every frame's calls that nobody reads: the runtime logs
// only once a test has reset it, and then the calls since that reset.
TYPED_TEST(UnwatchedRuntimeTest, LogsNoCallsUntilATestResetsIt) {
  this->start();
  const auto picture = test::TestDevice::pattern(kSmall.width, kSmall.height, 0);
  const auto texture = this->gpu.texture(picture, kSmall.width, kSmall.height);
  for (int frame = 0; frame < 200; ++frame) {
    ASSERT_TRUE(this->encoder->encodeFrame(texture.Get()));
  }
  EXPECT_EQ(this->outputs.size(), 200u);
  EXPECT_EQ(this->calls("").size(), 0u) << "lines in the call log";

  this->runtime.reset();
  ASSERT_TRUE(this->encoder->encodeFrame(texture.Get()));
  EXPECT_EQ(this->calls(TypeParam::kEncodeCall).size(), 1u);
  EXPECT_TRUE(this->calls(TypeParam::kSteps[0]).empty()) << this->runtime.calls();
}

// Heap blocks in use of at least `bytes` in every heap of the process.
size_t heapBlocks(size_t bytes = 0) {
  std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
  heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
  size_t count = 0;
  for (HANDLE heap : heaps) {
    if (!HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
      if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0 && entry.cbData >= bytes) ++count;
    }
    HeapUnlock(heap);
  }
  return count;
}

// Heap blocks of at least `bytes`, counted again for up to two seconds while there are `limit` or
// more: after an encoder is gone, another thread of the process (the device's own, the thread
// pool's) may hold a few blocks until it gets to them, and a busy machine makes it late. A leak
// stays.
size_t settledHeapBlocks(size_t bytes, size_t limit) {
  size_t count = heapBlocks(bytes);
  for (int retry = 0; retry < 40 && count >= limit; ++retry) {
    Sleep(50);
    count = heapBlocks(bytes);
  }
  return count;
}

// Encoders made and shut down one after another with nothing else holding the runtime, as the
// host's streams come and go: each encoder loads the runtime library and frees it again.
template <typename Runtime>
class RuntimeReloadTest : public ::testing::Test {};

TYPED_TEST_SUITE(RuntimeReloadTest, Runtimes);

// A runtime that is loaded and freed again gives back everything its loading and its calls took:
// without that, every stream start leaves blocks behind for the life of the process, one of tens
// of kilobytes among them.
TYPED_TEST(RuntimeReloadTest, LoadingTheRuntimeForEachEncoderLeavesNoHeapBlockBehind) {
  test::TestDevice gpu;
  const auto openAndClose = [&] {
    typename TypeParam::Encoder encoder;
    ASSERT_TRUE(encoder.initialize(gpu.device(), kSmall));
    encoder.shutdown();
    ASSERT_EQ(GetModuleHandleW(TypeParam::kDll), nullptr) << "the runtime is still loaded";
  };
  openAndClose();  // what the first use of the device and the encoder keep for good
  constexpr size_t kLarge = size_t{64} * 1024;
  const size_t large = heapBlocks(kLarge);
  const size_t all = heapBlocks();
  constexpr size_t kEncoders = 10;
  for (size_t i = 0; i < kEncoders; ++i) {
    openAndClose();
  }
  // Another thread of the process may hold a few blocks for a moment; one per encoder is a leak.
  const size_t largeLimit = large + kEncoders / 2;
  const size_t allLimit = all + kEncoders / 2;
  EXPECT_LT(settledHeapBlocks(kLarge, largeLimit), largeLimit) << "blocks of 64 KiB or more";
  EXPECT_LT(settledHeapBlocks(0, allLimit), allLimit) << "blocks of any size";
}

using NvencEncoderTest = EncoderTest<Nvenc>;

// The low-latency CBR configuration, also for HEVC and a rate change; a forced IDR outlives a failure.
TEST_F(NvencEncoderTest, RuntimeReceivesTheConfigurationAndKeepsTheKeyframeRequest) {
  // A rate change: an IDR, no reset, no new maximum size; the initial delay keeps its old value.
  start();
  EncoderConfig lower = kSmall;
  lower.bitrate = 300;
  lower.maxBitrate = 400;
  EXPECT_TRUE(encoder->reconfigure(lower));
  const auto* re = runtime.call<const NV_ENC_RECONFIGURE_PARAMS*>("LastReconfigure");
  const auto& rr = re->reInitEncodeParams.encodeConfig->rcParams;
  EXPECT_EQ(U({re->forceIDR, re->resetEncoder, re->reInitEncodeParams.maxEncodeWidth,
               re->reInitEncodeParams.encodeWidth, rr.averageBitRate, rr.maxBitRate, rr.vbvBufferSize,
               rr.vbvInitialDelay}),
            U({1, 0, 0, 256, 300000, 400000, 400000 / 30, 6000000 / 30}));
  lower.width = 512;  // a new size is refused and the old one keeps encoding
  EXPECT_FALSE(encoder->reconfigure(lower));
  ASSERT_TRUE(encodePattern(0) && encodePattern(1));

  // A frame whose bitstream cannot be locked fails and its IDR comes again, with SPS and PPS known
  // inside the callback; failed frames are not counted.
  encoder->requestKeyframe();
  runtime.fail("nvEncLockBitstream", NV_ENC_ERR_GENERIC);
  EXPECT_FALSE(encodePattern(2));
  runtime.reset();
  ASSERT_TRUE(encodePattern(3) && encodePattern(4));
  ASSERT_EQ(outputs.size(), 4u);
  EXPECT_EQ(U({outputs[0].headersValid, outputs[2].headersValid, outputs[2].keyframe, outputs[3].keyframe,
               outputs[3].frameNumber, encoder->getStats().framesEncoded}),
            U({1, 1, 1, 0, 3, 4}));
  encoder->shutdown();

  // Slices regardless of the switch; one frame's worth of the peak rate (truncated) as VBV buffer.
  EncoderConfig c{
      256, 144, 50000, 50000, 72, "h264", "main", 120, /*enableSlices=*/false, 4, /*fullRangeColor=*/true};
  ASSERT_TRUE(encoder->initialize(gpu.device(), c));
  const auto* open = runtime.call<const NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS*>("LastOpen");
  const auto* init = runtime.call<const NV_ENC_INITIALIZE_PARAMS*>("LastInit");
  const auto* reg = runtime.call<const NV_ENC_REGISTER_RESOURCE*>("LastRegister");
  const NV_ENC_CONFIG& cfg = *init->encodeConfig;
  const auto& rc = cfg.rcParams;
  const auto& h264 = cfg.encodeCodecConfig.h264Config;
  const auto& vui = h264.h264VUIParameters;
  EXPECT_TRUE(open->device == gpu.device() && IsEqualGUID(init->encodeGUID, NV_ENC_CODEC_H264_GUID) &&
              IsEqualGUID(init->presetGUID, NV_ENC_PRESET_P1_GUID) &&
              IsEqualGUID(cfg.profileGUID, NV_ENC_H264_PROFILE_HIGH_GUID));  // the preset's profile
  EXPECT_EQ(U({open->deviceType, init->tuningInfo, init->encodeWidth, init->darWidth, init->maxEncodeWidth,
               init->encodeHeight, init->maxEncodeHeight, init->frameRateNum, init->frameRateDen,
               init->enableEncodeAsync, init->enablePTD, reg->bufferFormat, reg->bufferUsage, reg->pitch}),
            U({NV_ENC_DEVICE_TYPE_DIRECTX, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY, 256, 256, 256, 144, 144, 72,
               1, 0, 1, NV_ENC_BUFFER_FORMAT_ARGB, NV_ENC_INPUT_IMAGE, 0}));
  EXPECT_EQ(U({rc.rateControlMode, cfg.gopLength, static_cast<uint64_t>(cfg.frameIntervalP),
               rc.averageBitRate, rc.maxBitRate, rc.vbvBufferSize, rc.vbvInitialDelay, rc.enableAQ,
               rc.zeroReorderDelay, rc.aqStrength}),
            U({NV_ENC_PARAMS_RC_CBR, 120, 1, 50000000, 50000000, 694444, 694444, 1, 1, 8}));
  EXPECT_EQ(U({h264.repeatSPSPPS, h264.outputAUD, h264.disableSPSPPS, h264.idrPeriod, h264.maxNumRefFrames,
               h264.sliceMode, h264.sliceModeData, vui.videoSignalTypePresentFlag, vui.videoFullRangeFlag,
               static_cast<uint64_t>(vui.colourPrimaries), static_cast<uint64_t>(vui.colourMatrix),
               static_cast<uint64_t>(vui.videoFormat)}),
            U({1, 0, 0, 120, 1, 3, 4, 1, 1, 1, 1, 0}));
  encoder->shutdown();

  // Bits per second beyond 32 bits saturate instead of wrapping; baseline names its video format.
  c.bitrate = c.maxBitrate = 5000000;
  c.profile = "baseline";
  ASSERT_TRUE(encoder->initialize(gpu.device(), c));
  EXPECT_EQ(U({rc.averageBitRate, rc.maxBitRate, rc.vbvBufferSize, vui.videoFormat}),
            U({0xFFFFFFFFu, 0xFFFFFFFFu, 5000000000u / 72, 5}));
  encoder->shutdown();

  // Only "h265" and "hevc" select HEVC, with its own configuration and a VPS.
  for (const auto& [codec, hevc] :
       {std::pair{"HEVC", false}, {"hevc ", false}, {"hevc", true}, {"h265", true}}) {
    SCOPED_TRACE(codec);
    c = kSmall;
    c.codec = codec;
    c.sliceCount = 2;
    start(c);
    ASSERT_TRUE(encodePattern(0));
    const auto& h = init->encodeConfig->encodeCodecConfig.hevcConfig;
    const CodecHeaders headers = encoder->getCodecHeaders();
    EXPECT_EQ(U({IsEqualGUID(init->encodeGUID, NV_ENC_CODEC_HEVC_GUID) != 0, headers.vps.empty()}),
              U({hevc, !hevc}));
    if (hevc) {
      EXPECT_EQ(U({h.repeatSPSPPS, h.idrPeriod, h.maxNumRefFramesInDPB, h.sliceMode, h.sliceModeData,
                   headers.vps.at(0), headers.sps.at(0), headers.pps.at(0)}),
                U({1, 30, 1, 3, 2, 0x40, 0x42, 0x44}));
    }
    encoder->shutdown();
  }
}

using AmfEncoderTest = EncoderTest<Amf>;

// Outputs held back, a full input queue, a failed surface, a rate change, a new size; the properties.
TEST_F(AmfEncoderTest, ComponentGetsThePropertiesAndOutputsComeInOrder) {
  start();
  // Outputs held back come several at once, in order, with their own numbers.
  runtime.call("SetOutputDelay", 2);
  ASSERT_TRUE(encodePattern(0) && encodePattern(1));
  EXPECT_TRUE(outputs.empty());
  runtime.call("SetOutputDelay", 0);
  ASSERT_TRUE(encodePattern(2));
  ASSERT_EQ(outputs.size(), 3u);
  EXPECT_EQ(
      U({outputs[0].headersValid, outputs[0].frameNumber, outputs[1].frameNumber, outputs[2].frameNumber}),
      U({1, 0, 1, 2}));

  // "Input full": the pending output is drained before the one retry; twice is a failure.
  runtime.call("SetOutputDelay", 1);
  ASSERT_TRUE(encodePattern(3));
  runtime.reset();
  runtime.call("RejectSubmits", 1);
  ASSERT_TRUE(encodePattern(4));
  EXPECT_EQ(calls("Component.SubmitInput", outputs.at(3).calls).size(), 1u);  // only the refused one
  runtime.call("RejectSubmits", 2);
  EXPECT_FALSE(encodePattern(5));
  ASSERT_TRUE(encodePattern(6));
  EXPECT_EQ(U({outputs.size(), outputs[3].frameNumber, outputs.back().frameNumber}), U({6, 3, 5}));

  // A surface that cannot be made keeps the keyframe request; a rate change sets the two rates.
  encoder->requestKeyframe();
  runtime.fail("Context.CreateSurfaceFromDX11Native", 6);
  EXPECT_FALSE(encodePattern(7));
  runtime.reset();
  EncoderConfig c = kSmall;
  c.bitrate = 300;
  c.maxBitrate = 400;
  EXPECT_TRUE(encoder->reconfigure(c));
  ASSERT_TRUE(encodePattern(8));
  EXPECT_TRUE(outputs.back().keyframe);
  EXPECT_EQ(calls("Component.SetProperty ") + calls("Surface.SetProperty "),
            (Lines{"TargetBitrate=300000", "PeakBitrate=400000", "ForcePictureType=2"}));

  // A new size re-creates context and component on the same device.
  c.width = 320;
  c.height = 192;
  ASSERT_TRUE(encoder->reconfigure(c) && encodePattern(10, c));
  EXPECT_TRUE(outputs.back().keyframe);
  std::vector<uint8_t> picture;
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(test::TestDecoder().decode(outputs.back().data, picture, w, h));
  EXPECT_GE(test::TestDecoder::psnr(picture, pictures.back()), 35.0);
  EXPECT_GE(test::TestDecoder::psnr(picture, pictures.back(), 320, 319), 30.0) << "last column";
  EXPECT_GE(test::TestDecoder::psnr(picture, pictures.back(), 320, 0, 191), 30.0) << "last row";
  encoder->shutdown();

  runtime.reset();
  c = EncoderConfig{256, 144, 8000, 12000, 60, "h264", "main", 120, true, 4, /*fullRangeColor=*/true};
  ASSERT_TRUE(encoder->initialize(gpu.device(), c));
  EXPECT_EQ(calls("AMFInit ") + calls("Context.InitDX11 ") + calls("Factory.CreateComponent ") +
                calls("Component.Init "),
            (Lines{"0x0001000500000000", "110", "AMFVideoEncoderVCE_AVC", "3 256x144"}));
  EXPECT_EQ(calls("Component.SetProperty "),
            (Lines{"Usage=2", "QualityPreset=1", "Profile=77", "RateControlMethod=1", "TargetBitrate=8000000",
                   "PeakBitrate=12000000", "FrameRate=60/1", "IDRPeriod=120", "BPicturesPattern=0",
                   "HeaderInsertionSpacing=0", "VBVBufferSize=200000", "InitialVBVBufferFullness=64",
                   "LowLatencyInternal=true", "SlicesPerFrame=4", "EnableVBAQ=true", "FullRangeColor=true"}));
  encoder->shutdown();

  // HEVC: its own component, properties and parameter sets including the VPS.
  runtime.reset();
  c = kSmall;
  c.codec = "hevc";
  start(c);
  EXPECT_EQ(calls("Factory.CreateComponent "), Lines{"AMFVideoEncoderHW_HEVC"});
  EXPECT_EQ(
      calls("Component.SetProperty "),
      (Lines{"HevcUsage=2", "HevcQualityPreset=10", "HevcProfile=1", "HevcTier=0", "HevcRateControlMethod=3",
             "HevcTargetBitrate=4000000", "HevcPeakBitrate=6000000", "HevcFrameRate=30/1", "HevcGOPSize=30",
             "HevcGOPSPerIDR=1", "HevcHeaderInsertionMode=2", "HevcVBVBufferSize=200000",
             "HevcInitialVBVBufferFullness=64", "LowLatencyInternal=true", "HevcEnableVBAQ=true"}));
  ASSERT_TRUE(encodePattern(0));
  const CodecHeaders headers = encoder->getCodecHeaders();
  EXPECT_EQ(U({headers.vps.at(0), headers.sps.at(0), headers.pps.at(0)}), U({0x40, 0x42, 0x44}));
}

}  // namespace
}  // namespace quorvane::host
