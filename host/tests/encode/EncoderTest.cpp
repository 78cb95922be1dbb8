// Both hardware encoders on their stand-in runtimes, which log the calls and parameters they
// get and can be told to fail any call.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "encode/AmfEncoder.h"
#include "encode/NvencEncoder.h"
#include "encode/StandinLibrary.h"
#include "encode/TestDecoder.h"
#include "encode/TestDevice.h"

namespace quorvane::host {
namespace {

using U = std::vector<uint64_t>;
using Lines = std::vector<std::string>;

struct Nvenc {
  using Encoder = NvencEncoder;
  static constexpr const wchar_t* kDll = L"nvEncodeAPI64.dll";
  static constexpr const char* kPrefix = "StandinNvenc";
  static constexpr bool kIdrOnRateChange = true;
  static std::vector<const char*> steps() {
    return {"NvEncodeAPICreateInstance", "nvEncOpenEncodeSessionEx", "nvEncGetEncodePresetConfigEx",
            "nvEncInitializeEncoder",    "nvEncRegisterResource",    "nvEncCreateBitstreamBuffer"};
  }
};

struct Amf {
  using Encoder = AmfEncoder;
  static constexpr const wchar_t* kDll = L"amfrt64.dll";
  static constexpr const char* kPrefix = "StandinAmf";
  static constexpr bool kIdrOnRateChange = false;
  static std::vector<const char*> steps() {
    return {"AMFInit", "Factory.CreateContext", "Context.InitDX11", "Factory.CreateComponent",
            "Component.Init"};
  }
};

struct Output {
  std::vector<uint8_t> data;
  bool keyframe;
  int64_t timestamp;
  uint32_t frameNumber;
  bool headersValid;  // what getCodecHeaders said inside the callback
};

// 256x144 at 30 fps, 4 / 6 Mbit/s, an IDR every 30 frames.
EncoderConfig smallConfig() {
  return {.width = 256, .height = 144, .bitrate = 4000, .maxBitrate = 6000, .fps = 30, .gopLength = 30};
}

// An encoder on a freshly reset stand-in runtime; every test ends with everything released.
template <typename Runtime>
class EncoderTest : public ::testing::Test {
 protected:
  void SetUp() override { runtime.reset(); }
  void TearDown() override {
    encoder.reset();
    runtime.expectAllReleased();
  }
  // Initializes with `c` and records every access unit, then runs `also` inside the callback.
  void start(const EncoderConfig& c = smallConfig()) {
    ASSERT_TRUE(encoder->initialize(gpu.device(), c));
    encoder->setFrameCallback([this](const EncodedFrame& f) {
      outputs.push_back({{f.data, f.data + f.size},
                         f.keyframe,
                         f.timestamp,
                         f.frameNumber,
                         encoder->getCodecHeaders().valid});
      if (also) also();
    });
  }
  bool encodePattern(uint32_t frame, const EncoderConfig& c = smallConfig()) {
    pictures.push_back(test::TestDevice::pattern(c.width, c.height, frame));
    return encoder->encodeFrame(gpu.texture(pictures.back(), c.width, c.height).Get());
  }
  // Encodes `count` noise pictures; the mean output size of the last third of them.
  uint64_t meanNoiseSize(uint32_t count) {
    const size_t first = outputs.size() + count - count / 3;
    for (uint32_t i = 0; i < count; ++i) {
      EXPECT_TRUE(
          encoder->encodeFrame(gpu.texture(test::TestDevice::noise(256, 144, seed++), 256, 144).Get()));
    }
    uint64_t sum = 0;
    for (size_t i = first; i < outputs.size(); ++i) sum += outputs[i].data.size();
    return outputs.size() > first ? sum / (outputs.size() - first) : 0;
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
  std::function<void()> also;
  uint32_t seed = 0;
};

using Runtimes = ::testing::Types<Nvenc, Amf>;
TYPED_TEST_SUITE(EncoderTest, Runtimes);

// Every unit decodes to its picture; exactly the first and the requested one are IDRs carrying
// SPS and PPS, with the headers valid inside the callback. A frame without texture fails and
// keeps the request; a second initialize keeps the running configuration.
TYPED_TEST(EncoderTest, EncodesDecodablePicturesWithIdrOnFirstAndRequestedFrames) {
  this->start();
  for (uint32_t i = 0; i < 8; ++i) {
    if (i == 5) {
      this->encoder->requestKeyframe();
      EXPECT_FALSE(this->encoder->encodeFrame(nullptr));
    }
    ASSERT_TRUE(this->encodePattern(i));
  }
  EncoderConfig wider = smallConfig();
  wider.width = 512;
  EXPECT_TRUE(this->encoder->initialize(this->gpu.device(), wider));
  ASSERT_TRUE(this->encodePattern(8));
  ASSERT_EQ(this->outputs.size(), 9u);
  test::TestDecoder decoder;
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < 9; ++i) {
    const Output& out = this->outputs[i];
    std::vector<uint8_t> picture;
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(decoder.decode(out.data, picture, w, h)) << i;
    EXPECT_GE(test::TestDecoder::psnr(picture, this->pictures[i]), 35.0) << i;
    EXPECT_GE(test::TestDecoder::psnr(picture, this->pictures[i], 256, 255), 30.0) << i << ": last column";
    EXPECT_GE(test::TestDecoder::psnr(picture, this->pictures[i], 256, 0, 143), 30.0) << i << ": last row";
    EXPECT_EQ(out.frameNumber, i);
    const auto types = test::TestDecoder::nalTypes(out.data);
    const auto has = [&](int t) { return std::find(types.begin(), types.end(), t) != types.end(); };
    EXPECT_EQ(out.keyframe, i == 0 || i == 5) << i;
    EXPECT_EQ(has(5) && has(7) && has(8) && out.headersValid, i == 0 || i == 5) << i;
    bytes += out.data.size();
  }
  const EncoderStats stats = this->encoder->getStats();
  EXPECT_EQ(U({stats.framesEncoded, stats.bytesEncoded}), U({9, bytes}));
  const CodecHeaders headers = this->encoder->getCodecHeaders();
  ASSERT_TRUE(headers.valid);
  EXPECT_EQ(U({headers.sps[0] & 0x1Fu, headers.pps[0] & 0x1Fu}), U({7, 8}));
}

TYPED_TEST(EncoderTest, OutputSizeFollowsTheBitrate) {
  EncoderConfig c = smallConfig();
  c.gopLength = 1000;
  this->start(c);
  const uint64_t high = this->meanNoiseSize(12);
  EncoderConfig lower = c;
  lower.bitrate = 300;
  lower.maxBitrate = 400;
  ASSERT_TRUE(this->encoder->reconfigure(lower));
  const size_t first = this->outputs.size();
  const uint64_t low = this->meanNoiseSize(30);
  EXPECT_EQ(this->outputs[first].keyframe, TypeParam::kIdrOnRateChange);
  EXPECT_LT(low * 2, high) << low << " vs " << high;
}

TYPED_TEST(EncoderTest, FailureAtEachRuntimeCallOrABadConfigurationReleasesEverything) {
  for (const char* step : TypeParam::steps()) {
    SCOPED_TRACE(step);
    this->runtime.reset();
    this->runtime.fail(step, 10);
    typename TypeParam::Encoder failing;
    EXPECT_FALSE(failing.initialize(this->gpu.device(), smallConfig()));
    EXPECT_FALSE(failing.isInitialized());
    EXPECT_EQ(this->runtime.live(), 0);
  }
  this->runtime.reset();
  for (auto bad : {&EncoderConfig::fps, &EncoderConfig::width, &EncoderConfig::height}) {
    EncoderConfig c = smallConfig();
    c.*bad = 0;
    EXPECT_FALSE(this->encoder->initialize(this->gpu.device(), c));
  }
  EXPECT_EQ(this->runtime.calls(), "");
}

using NvencEncoderTest = EncoderTest<Nvenc>;

TEST_F(NvencEncoderTest, RuntimeReceivesTheLowLatencyCbrConfiguration) {
  EncoderConfig c = smallConfig();
  c.bitrate = 50000;
  c.maxBitrate = 50000;
  c.fps = 72;
  c.gopLength = 120;
  c.enableSlices = false;  // NVENC slices regardless
  c.fullRangeColor = true;
  ASSERT_TRUE(encoder->initialize(gpu.device(), c));
  EXPECT_EQ(runtime.live(), 1 + 4 + 4);  // the session with a ring of four inputs and outputs
  const auto* open = runtime.call<const NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS*>("LastOpen");
  EXPECT_EQ(open->deviceType, NV_ENC_DEVICE_TYPE_DIRECTX);
  EXPECT_EQ(open->device, gpu.device());
  const auto* init = runtime.call<const NV_ENC_INITIALIZE_PARAMS*>("LastInit");
  EXPECT_TRUE(IsEqualGUID(init->encodeGUID, NV_ENC_CODEC_H264_GUID));
  EXPECT_TRUE(IsEqualGUID(init->presetGUID, NV_ENC_PRESET_P1_GUID));
  EXPECT_EQ(init->tuningInfo, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY);
  EXPECT_EQ(
      U({init->encodeWidth, init->darWidth, init->maxEncodeWidth, init->encodeHeight, init->maxEncodeHeight,
         init->frameRateNum, init->frameRateDen, init->enableEncodeAsync, init->enablePTD}),
      U({256, 256, 256, 144, 144, 72, 1, 0, 1}));
  const NV_ENC_CONFIG& cfg = *init->encodeConfig;
  EXPECT_TRUE(IsEqualGUID(cfg.profileGUID, NV_ENC_H264_PROFILE_HIGH_GUID));  // the preset's
  const auto& rc = cfg.rcParams;
  EXPECT_EQ(rc.rateControlMode, NV_ENC_PARAMS_RC_CBR);
  // One frame's worth of the peak rate as VBV buffer: 50000000 / 72, truncated.
  EXPECT_EQ(U({cfg.gopLength, static_cast<uint64_t>(cfg.frameIntervalP), rc.averageBitRate, rc.maxBitRate,
               rc.vbvBufferSize, rc.vbvInitialDelay, rc.enableAQ, rc.zeroReorderDelay, rc.aqStrength}),
            U({120, 1, 50000000, 50000000, 694444, 694444, 1, 1, 8}));
  const auto& h264 = cfg.encodeCodecConfig.h264Config;
  const auto& vui = h264.h264VUIParameters;
  EXPECT_EQ(U({h264.repeatSPSPPS, h264.outputAUD, h264.disableSPSPPS, h264.idrPeriod, h264.maxNumRefFrames,
               h264.sliceMode, h264.sliceModeData, vui.videoSignalTypePresentFlag, vui.videoFullRangeFlag,
               static_cast<uint64_t>(vui.colourPrimaries), static_cast<uint64_t>(vui.colourMatrix),
               static_cast<uint64_t>(vui.videoFormat)}),
            U({1, 0, 0, 120, 1, 3, 4, 1, 1, 1, 1, 0}));
  const auto* reg = runtime.call<const NV_ENC_REGISTER_RESOURCE*>("LastRegister");
  EXPECT_EQ(U({reg->bufferFormat, reg->bufferUsage, reg->pitch}),
            U({NV_ENC_BUFFER_FORMAT_ARGB, NV_ENC_INPUT_IMAGE, 0}));
  encoder->shutdown();

  // Bitrates whose bits per second overflow 32 bits saturate instead of wrapping; the baseline
  // profile names its video format.
  c.bitrate = c.maxBitrate = 5000000;
  c.profile = "baseline";
  ASSERT_TRUE(encoder->initialize(gpu.device(), c));
  EXPECT_EQ(U({rc.averageBitRate, rc.maxBitRate, rc.vbvBufferSize, vui.videoFormat}),
            U({0xFFFFFFFFu, 0xFFFFFFFFu, 5000000000u / 72, 5}));
  encoder->shutdown();

  // Only "h265" and "hevc" select HEVC, with its own configuration and a VPS.
  for (const auto& [codec, hevc] :
       {std::pair{"h264", false}, {"HEVC", false}, {"hevc ", false}, {"hevc", true}, {"h265", true}}) {
    SCOPED_TRACE(codec);
    c = smallConfig();
    c.codec = codec;
    c.gopLength = 90;
    c.sliceCount = 2;
    start(c);
    EXPECT_EQ(IsEqualGUID(init->encodeGUID, NV_ENC_CODEC_HEVC_GUID), hevc);
    ASSERT_TRUE(encodePattern(0));
    const CodecHeaders headers = encoder->getCodecHeaders();
    EXPECT_EQ(headers.vps.empty(), !hevc);
    if (hevc) {
      const auto& h = init->encodeConfig->encodeCodecConfig.hevcConfig;
      EXPECT_EQ(U({h.repeatSPSPPS, h.idrPeriod, h.maxNumRefFramesInDPB, h.sliceMode, h.sliceModeData}),
                U({1, 90, 1, 3, 2}));
      EXPECT_EQ(U({headers.vps[0], headers.sps[0], headers.pps[0]}), U({0x40, 0x42, 0x44}));
    }
    encoder->shutdown();
  }
}

TEST_F(NvencEncoderTest, BitrateChangeAndFailedFramesKeepTheKeyframeRequestAsDocumented) {
  start();
  ASSERT_TRUE(encodePattern(0));
  EncoderConfig lower = smallConfig();
  lower.bitrate = 300;
  lower.maxBitrate = 400;
  EXPECT_TRUE(encoder->reconfigure(lower));
  const auto* re = runtime.call<const NV_ENC_RECONFIGURE_PARAMS*>("LastReconfigure");
  const auto& rc = re->reInitEncodeParams.encodeConfig->rcParams;
  // An IDR, no reset, no new maximum size; the initial delay keeps its old value.
  EXPECT_EQ(U({re->forceIDR, re->resetEncoder, re->reInitEncodeParams.maxEncodeWidth,
               re->reInitEncodeParams.encodeWidth, rc.averageBitRate, rc.maxBitRate, rc.vbvBufferSize,
               rc.vbvInitialDelay}),
            U({1, 0, 0, 256, 300000, 400000, 400000 / 30, 6000000 / 30}));
  lower.width = 512;  // a new size is refused and the old one keeps encoding
  EXPECT_FALSE(encoder->reconfigure(lower));
  ASSERT_TRUE(encodePattern(1));
  ASSERT_EQ(outputs.size(), 2u);

  // A failed map leaves the request pending; a failed bitstream lock fails the frame and its IDR
  // comes again; a failed encode consumes the request. Failed frames are not counted.
  const uint32_t forced = NV_ENC_PIC_FLAG_FORCEIDR | NV_ENC_PIC_FLAG_OUTPUT_SPSPPS;
  const auto flags = [&] { return runtime.call<uint32_t>("LastPicFlags"); };
  const auto encodeFailing = [&](const char* call) {
    runtime.fail(call, NV_ENC_ERR_GENERIC);
    const bool encoded = encodePattern(2);
    runtime.fail(call, 0);
    return encoded;
  };
  encoder->requestKeyframe();
  EXPECT_FALSE(encodeFailing("nvEncMapInputResource"));
  EXPECT_FALSE(encodeFailing("nvEncLockBitstream"));
  EXPECT_EQ(flags(), forced);
  ASSERT_TRUE(encodePattern(3));
  EXPECT_EQ(flags(), forced);
  encoder->requestKeyframe();
  EXPECT_FALSE(encodeFailing("nvEncEncodePicture"));
  ASSERT_TRUE(encodePattern(4));
  EXPECT_EQ(flags(), 0u);
  ASSERT_EQ(outputs.size(), 4u);
  EXPECT_EQ(U({outputs[2].keyframe, outputs[3].keyframe, outputs[2].frameNumber, outputs[3].frameNumber,
               encoder->getStats().framesEncoded}),
            U({1, 0, 2, 3, 4}));

  // Shut down and started again: the count goes on, beginning with an IDR.
  encoder->shutdown();
  EXPECT_FALSE(encoder->encodeFrame(nullptr));
  EXPECT_EQ(runtime.live(), 0);
  start();
  ASSERT_TRUE(encodePattern(3));
  EXPECT_EQ(outputs.back().frameNumber, 4u);
  EXPECT_TRUE(outputs.back().keyframe);
}

using AmfEncoderTest = EncoderTest<Amf>;

TEST_F(AmfEncoderTest, ComponentGetsTheLowLatencyCbrPropertiesInOrder) {
  EncoderConfig c = smallConfig();
  c.fps = 60;
  c.bitrate = 8000;
  c.maxBitrate = 12000;
  c.gopLength = 120;
  c.fullRangeColor = true;
  ASSERT_TRUE(encoder->initialize(gpu.device(), c));
  EXPECT_EQ(calls("AMFInit "), Lines{"0x0001000500000000"});
  EXPECT_EQ(calls("Context.InitDX11 "), Lines{"110"});
  EXPECT_EQ(calls("Factory.CreateComponent "), Lines{"AMFVideoEncoderVCE_AVC"});
  EXPECT_EQ(calls("Component.SetProperty "),
            (Lines{"Usage=2", "QualityPreset=1", "Profile=77", "RateControlMethod=1", "TargetBitrate=8000000",
                   "PeakBitrate=12000000", "FrameRate=60/1", "IDRPeriod=120", "BPicturesPattern=0",
                   "HeaderInsertionSpacing=0", "VBVBufferSize=200000", "InitialVBVBufferFullness=64",
                   "LowLatencyInternal=true", "SlicesPerFrame=4", "EnableVBAQ=true", "FullRangeColor=true"}));
  EXPECT_EQ(calls("Component.Init "), Lines{"3 256x144"});
  encoder->shutdown();

  // Slices switched off or only one, and limited range: neither property is set.
  c.fullRangeColor = false;
  for (const auto& [enable, count] : {std::pair{false, 4u}, {true, 1u}}) {
    runtime.reset();
    c.enableSlices = enable;
    c.sliceCount = count;
    ASSERT_TRUE(encoder->initialize(gpu.device(), c));
    for (const auto& line : calls("Component.SetProperty ")) {
      EXPECT_TRUE(line.find("SlicesPerFrame") == std::string::npos &&
                  line.find("FullRange") == std::string::npos);
    }
    encoder->shutdown();
  }

  // HEVC: its own component, properties and parameter sets including the VPS.
  runtime.reset();
  c = smallConfig();
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
  ASSERT_FALSE(headers.vps.empty());
  EXPECT_EQ(U({headers.vps[0], headers.sps[0], headers.pps[0]}), U({0x40, 0x42, 0x44}));
}

TEST_F(AmfEncoderTest, DelayedBurstAndRefusedOutputRateAndSizeChanges) {
  encoder->setBitrate(1000, 2000);  // before initialisation: nothing at all
  EXPECT_FALSE(encoder->reconfigure(smallConfig()));
  EXPECT_EQ(runtime.calls(), "");
  std::vector<std::string> callsAtCallback;
  also = [&] { callsAtCallback.push_back(runtime.calls()); };
  start();
  runtime.call("SetOutputDelay", 2);
  ASSERT_TRUE(encodePattern(0));
  ASSERT_TRUE(encodePattern(1));
  EXPECT_TRUE(outputs.empty());  // nothing finished yet
  runtime.call("SetOutputDelay", 0);
  ASSERT_TRUE(encodePattern(2));
  ASSERT_EQ(outputs.size(), 3u);  // several at once, in order
  EXPECT_EQ(U({outputs[0].frameNumber, outputs[1].frameNumber, outputs[2].frameNumber,
               uint64_t(outputs[2].timestamp)}),
            U({0, 1, 2, 2}));

  // "Input full": the pending output is drained before the one retry; twice is a failure.
  runtime.call("SetOutputDelay", 1);
  ASSERT_TRUE(encodePattern(3));
  runtime.call("SetOutputDelay", 0);
  runtime.reset();
  runtime.call("RejectSubmits", 1);
  ASSERT_TRUE(encodePattern(4));
  ASSERT_EQ(outputs.size(), 5u);
  EXPECT_EQ(outputs[3].frameNumber, 3u);
  EXPECT_EQ(calls("Component.SubmitInput", callsAtCallback[3]).size(), 1u);  // only the refused one
  runtime.call("RejectSubmits", 2);
  EXPECT_FALSE(encodePattern(5));
  ASSERT_TRUE(encodePattern(6));
  EXPECT_EQ(U({outputs.size(), outputs.back().frameNumber}), U({6, 5}));

  // A surface that cannot be made keeps the keyframe request.
  encoder->requestKeyframe();
  runtime.fail("Context.CreateSurfaceFromDX11Native", 6);
  EXPECT_FALSE(encodePattern(7));
  runtime.fail("Context.CreateSurfaceFromDX11Native", 0);
  runtime.reset();
  EncoderConfig c = smallConfig();
  c.bitrate = 300;
  c.maxBitrate = 400;
  EXPECT_TRUE(encoder->reconfigure(c));
  EXPECT_EQ(calls("Component.SetProperty "), (Lines{"TargetBitrate=300000", "PeakBitrate=400000"}));
  ASSERT_TRUE(encodePattern(8));
  EXPECT_TRUE(outputs.back().keyframe);
  EXPECT_EQ(calls("Surface.SetProperty "), Lines{"ForcePictureType=2"});

  // An output without a picture type is no keyframe.
  runtime.call("OmitOutputType", true);
  encoder->requestKeyframe();
  ASSERT_TRUE(encodePattern(9));
  EXPECT_FALSE(outputs.back().keyframe);
  runtime.call("OmitOutputType", false);

  // A new size re-creates context and component on the same device.
  c.width = 320;
  c.height = 192;
  ASSERT_TRUE(encoder->reconfigure(c));
  ASSERT_TRUE(encodePattern(10, c));
  EXPECT_TRUE(outputs.back().keyframe);
  std::vector<uint8_t> picture;
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(test::TestDecoder().decode(outputs.back().data, picture, w, h));
  EXPECT_GE(test::TestDecoder::psnr(picture, pictures.back()), 35.0);
}

}  // namespace
}  // namespace quorvane::host
