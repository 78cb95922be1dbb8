#include "encode/NvencEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "encode/StandinLibrary.h"
#include "encode/TestDecoder.h"
#include "encode/EncoderHarness.h"

namespace quorvane::host {
namespace {

using test::StandinLibrary;
using test::TestDecoder;

class NvencEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset = runtime.fn<void (*)()>("StandinNvencReset");
    fail = runtime.fn<void (*)(const char*, int)>("StandinNvencFail");
    calls = runtime.fn<const char* (*)()>("StandinNvencCalls");
    live = runtime.fn<int (*)()>("StandinNvencLiveObjects");
    lastPicFlags = runtime.fn<uint32_t (*)()>("StandinNvencLastPicFlags");
    reset();
  }

  // Every test ends with the runtime holding nothing and the encoder's library reference gone.
  void TearDown() override {
    encoder.reset();
    runtime.expectAllReleased("StandinNvencLiveObjects");
  }

  static EncoderConfig smallConfig() { return test::EncoderHarness::smallConfig(); }

  void collect() { h.record(*encoder); }

  bool encodePattern(uint32_t frame) { return h.encodePattern(*encoder, frame); }

  test::EncoderHarness h;
  StandinLibrary runtime{L"nvEncodeAPI64.dll"};
  void (*reset)();
  void (*fail)(const char*, int);
  const char* (*calls)();
  int (*live)();
  uint32_t (*lastPicFlags)();
  std::unique_ptr<NvencEncoder> encoder = std::make_unique<NvencEncoder>();
};

TEST_F(NvencEncoderTest, EncodesDecodablePicturesWithIdrOnFirstAndForcedFrames) {
  test::LogCapture log;
  ASSERT_TRUE(encoder->initialize(h.device(), smallConfig()));
  collect();
  for (uint32_t i = 0; i < 8; ++i) {
    if (i == 5) {
      encoder->requestKeyframe();
    }
    ASSERT_TRUE(encodePattern(i));
    EXPECT_EQ(lastPicFlags(), i == 5 ? 6u : 0u);
  }
  ASSERT_EQ(h.outputs.size(), 8u);
  h.expectDecodesToPictures();
  uint64_t bytes = 0;
  for (uint32_t i = 0; i < h.outputs.size(); ++i) {
    const auto& out = h.outputs[i];
    bytes += out.data.size();
    EXPECT_EQ(out.frameNumber, i);
    EXPECT_EQ(out.keyframe, i == 0 || i == 5) << i;
    const auto types = TestDecoder::nalTypes(out.data);
    if (out.keyframe) {
      EXPECT_NE(std::find(types.begin(), types.end(), 7), types.end());
      EXPECT_NE(std::find(types.begin(), types.end(), 8), types.end());
      EXPECT_NE(std::find(types.begin(), types.end(), 5), types.end());
      EXPECT_TRUE(out.headersValid);
    }
  }
  const CodecHeaders headers = encoder->getCodecHeaders();
  ASSERT_TRUE(headers.valid);
  EXPECT_EQ(headers.sps[0] & 0x1F, 7);
  EXPECT_EQ(headers.pps[0] & 0x1F, 8);
  const EncoderStats stats = encoder->getStats();
  EXPECT_EQ(stats.framesEncoded, 8u);
  EXPECT_EQ(stats.bytesEncoded, bytes);
  EXPECT_GT(stats.avgEncodeTimeMs, 0.0);

  // A second initialize keeps the running configuration.
  EncoderConfig other = smallConfig();
  other.width = 512;
  EXPECT_TRUE(encoder->initialize(h.device(), other));
  EXPECT_TRUE(log.contains("NVENC encoder already initialized", spdlog::level::warn));
  EXPECT_TRUE(encodePattern(8));
}

TEST_F(NvencEncoderTest, RuntimeReceivesTheLowLatencyCbrConfiguration) {
  EncoderConfig c = smallConfig();
  c.bitrate = 8000;
  c.maxBitrate = 12000;
  c.fps = 60;
  c.gopLength = 120;
  c.sliceCount = 4;
  c.enableSlices = false;  // NVENC slices regardless
  c.fullRangeColor = true;
  ASSERT_TRUE(encoder->initialize(h.device(), c));

  EXPECT_EQ(
      std::string(calls()),
      "NvEncodeAPICreateInstance\nnvEncOpenEncodeSessionEx\nnvEncGetEncodePresetConfigEx\n"
      "nvEncInitializeEncoder\n"
      "nvEncRegisterResource\nnvEncCreateBitstreamBuffer\nnvEncRegisterResource\nnvEncCreateBitstreamBuffer\n"
      "nvEncRegisterResource\nnvEncCreateBitstreamBuffer\nnvEncRegisterResource\nnvEncCreateBitstreamBuffer"
      "\n");
  const auto* open = runtime.fn<const NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* (*)()>("StandinNvencLastOpen")();
  EXPECT_EQ(open->deviceType, NV_ENC_DEVICE_TYPE_DIRECTX);
  EXPECT_EQ(open->device, h.device());
  const auto* init = runtime.fn<const NV_ENC_INITIALIZE_PARAMS* (*)()>("StandinNvencLastInit")();
  EXPECT_TRUE(IsEqualGUID(init->encodeGUID, NV_ENC_CODEC_H264_GUID));
  EXPECT_TRUE(IsEqualGUID(init->presetGUID, NV_ENC_PRESET_P1_GUID));
  EXPECT_EQ(init->tuningInfo, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY);
  EXPECT_EQ(init->encodeWidth, 256u);
  EXPECT_EQ(init->darWidth, 256u);
  EXPECT_EQ(init->maxEncodeWidth, 256u);
  EXPECT_EQ(init->encodeHeight, 144u);
  EXPECT_EQ(init->maxEncodeHeight, 144u);
  EXPECT_EQ(init->frameRateNum, 60u);
  EXPECT_EQ(init->frameRateDen, 1u);
  EXPECT_EQ(init->enableEncodeAsync, 0u);
  EXPECT_EQ(init->enablePTD, 1u);
  const NV_ENC_CONFIG& cfg = *init->encodeConfig;
  EXPECT_TRUE(IsEqualGUID(cfg.profileGUID, NV_ENC_H264_PROFILE_HIGH_GUID));  // the preset's
  EXPECT_EQ(cfg.gopLength, 120u);
  EXPECT_EQ(cfg.frameIntervalP, 1);
  EXPECT_EQ(cfg.rcParams.rateControlMode, NV_ENC_PARAMS_RC_CBR);
  EXPECT_EQ(cfg.rcParams.averageBitRate, 8000000u);
  EXPECT_EQ(cfg.rcParams.maxBitRate, 12000000u);
  EXPECT_EQ(cfg.rcParams.vbvBufferSize, 200000u);
  EXPECT_EQ(cfg.rcParams.vbvInitialDelay, 200000u);
  EXPECT_EQ(cfg.rcParams.enableAQ, 1u);
  EXPECT_EQ(cfg.rcParams.zeroReorderDelay, 1u);
  EXPECT_EQ(cfg.rcParams.aqStrength, 8u);
  const auto& h264 = cfg.encodeCodecConfig.h264Config;
  EXPECT_EQ(h264.repeatSPSPPS, 1u);
  EXPECT_EQ(h264.outputAUD, 0u);
  EXPECT_EQ(h264.disableSPSPPS, 0u);
  EXPECT_EQ(h264.idrPeriod, 120u);
  EXPECT_EQ(h264.maxNumRefFrames, 1u);
  EXPECT_EQ(h264.sliceMode, 3u);
  EXPECT_EQ(h264.sliceModeData, 4u);
  EXPECT_EQ(h264.h264VUIParameters.videoSignalTypePresentFlag, 1u);
  EXPECT_EQ(h264.h264VUIParameters.videoFullRangeFlag, 1u);
  EXPECT_EQ(static_cast<uint32_t>(h264.h264VUIParameters.colourPrimaries), 1u);
  EXPECT_EQ(static_cast<uint32_t>(h264.h264VUIParameters.colourMatrix), 1u);
  const auto* reg = runtime.fn<const NV_ENC_REGISTER_RESOURCE* (*)()>("StandinNvencLastRegister")();
  EXPECT_EQ(reg->bufferFormat, NV_ENC_BUFFER_FORMAT_ARGB);
  EXPECT_EQ(reg->bufferUsage, NV_ENC_INPUT_IMAGE);
  EXPECT_EQ(reg->pitch, 0u);
}

TEST_F(NvencEncoderTest, HevcSessionGetsTheHevcConfigurationAndParameterSets) {
  EncoderConfig c = smallConfig();
  c.codec = "h265";
  c.gopLength = 90;
  c.sliceCount = 2;
  ASSERT_TRUE(encoder->initialize(h.device(), c));
  const auto* init = runtime.fn<const NV_ENC_INITIALIZE_PARAMS* (*)()>("StandinNvencLastInit")();
  EXPECT_TRUE(IsEqualGUID(init->encodeGUID, NV_ENC_CODEC_HEVC_GUID));
  const auto& hevc = init->encodeConfig->encodeCodecConfig.hevcConfig;
  EXPECT_EQ(hevc.repeatSPSPPS, 1u);
  EXPECT_EQ(hevc.idrPeriod, 90u);
  EXPECT_EQ(hevc.maxNumRefFramesInDPB, 1u);
  EXPECT_EQ(hevc.sliceMode, 3u);
  EXPECT_EQ(hevc.sliceModeData, 2u);
  collect();
  ASSERT_TRUE(encodePattern(0));
  const CodecHeaders headers = encoder->getCodecHeaders();
  EXPECT_TRUE(headers.valid);
  ASSERT_FALSE(headers.vps.empty());
  EXPECT_EQ(headers.vps[0], 0x40);
  EXPECT_EQ(headers.sps[0], 0x42);
}

TEST_F(NvencEncoderTest, BitrateChangeReachesRuntimeAndOutputFollowsIt) {
  test::LogCapture log;
  EncoderConfig c = smallConfig();
  c.gopLength = 1000;
  ASSERT_TRUE(encoder->initialize(h.device(), c));
  collect();
  for (uint32_t i = 0; i < 12; ++i) {
    ASSERT_TRUE(h.encodeNoise(*encoder, i, c));
  }
  const uint64_t highRate = h.meanSizeFrom(6);

  EXPECT_TRUE(encoder->reconfigure([&] {
    EncoderConfig lower = c;
    lower.bitrate = 300;
    lower.maxBitrate = 400;
    return lower;
  }()));
  EXPECT_TRUE(log.contains("Bitrate updated to 300 / 400 kbps", spdlog::level::info));
  const auto* re = runtime.fn<const NV_ENC_RECONFIGURE_PARAMS* (*)()>("StandinNvencLastReconfigure")();
  EXPECT_EQ(re->forceIDR, 1u);
  EXPECT_EQ(re->resetEncoder, 0u);
  EXPECT_EQ(re->reInitEncodeParams.maxEncodeWidth, 0u);
  EXPECT_EQ(re->reInitEncodeParams.maxEncodeHeight, 0u);
  EXPECT_EQ(re->reInitEncodeParams.encodeWidth, 256u);
  EXPECT_EQ(re->reInitEncodeParams.encodeConfig->rcParams.averageBitRate, 300000u);
  EXPECT_EQ(re->reInitEncodeParams.encodeConfig->rcParams.maxBitRate, 400000u);
  EXPECT_EQ(re->reInitEncodeParams.encodeConfig->rcParams.vbvBufferSize, 400000u / 30);
  EXPECT_EQ(re->reInitEncodeParams.encodeConfig->rcParams.vbvInitialDelay, 6000000u / 30);  // unchanged

  const size_t before = h.outputs.size();
  for (uint32_t i = 0; i < 30; ++i) {
    ASSERT_TRUE(h.encodeNoise(*encoder, 100 + i, c));
  }
  EXPECT_TRUE(h.outputs[before].keyframe);  // the change forces an IDR
  const uint64_t lowRate = h.meanSizeFrom(before + 20);
  EXPECT_LT(lowRate * 2, highRate) << lowRate << " vs " << highRate;

  // A failed change keeps the old rate in the configuration.
  fail("nvEncReconfigureEncoder", NV_ENC_ERR_INVALID_PARAM);
  encoder->setBitrate(9000, 9000);
  EXPECT_TRUE(log.contains("Failed to reconfigure bitrate: 8", spdlog::level::warn));
  fail("nvEncReconfigureEncoder", 0);

  // A new size is refused and the old one keeps encoding.
  EncoderConfig bigger = c;
  bigger.width = 512;
  EXPECT_FALSE(encoder->reconfigure(bigger));
  EXPECT_TRUE(log.contains("Resolution change requires re-initialization", spdlog::level::warn));
  EXPECT_TRUE(h.encodeNoise(*encoder, 999, c));
}

TEST_F(NvencEncoderTest, FailureAtEachRuntimeCallReleasesEverything) {
  const char* steps[] = {"NvEncodeAPICreateInstance",    "nvEncOpenEncodeSessionEx",
                         "nvEncGetEncodePresetConfigEx", "nvEncInitializeEncoder",
                         "nvEncRegisterResource",        "nvEncCreateBitstreamBuffer"};
  for (const char* step : steps) {
    SCOPED_TRACE(step);
    test::LogCapture log;
    reset();
    fail(step, NV_ENC_ERR_OUT_OF_MEMORY);
    NvencEncoder failing;
    EXPECT_FALSE(failing.initialize(h.device(), smallConfig()));
    EXPECT_FALSE(failing.isInitialized());
    EXPECT_EQ(live(), 0);
    if (std::string(step) == "nvEncOpenEncodeSessionEx") {
      EXPECT_TRUE(
          log.contains("NVENC ERROR: Failed to open encode session (error 10). GPU memory exhausted - close "
                       "other apps using NVENC",
                       spdlog::level::err));
    }
  }
  // Nothing of the failed attempts holds the library: only the test's reference is left.
  runtime.release();
  EXPECT_FALSE(runtime.loadedByAnyone());
}

TEST_F(NvencEncoderTest, InvalidConfigurationIsRejectedBeforeTheRuntime) {
  EncoderConfig c = smallConfig();
  c.fps = 0;
  EXPECT_FALSE(encoder->initialize(h.device(), c));
  c = smallConfig();
  c.height = 0;
  EXPECT_FALSE(encoder->initialize(h.device(), c));
  EXPECT_EQ(std::string(calls()), "");
  // Huge bitrates saturate rather than wrap.
  c = smallConfig();
  c.bitrate = 5000000;
  c.maxBitrate = 5000000;
  ASSERT_TRUE(encoder->initialize(h.device(), c));
  const auto* init = runtime.fn<const NV_ENC_INITIALIZE_PARAMS* (*)()>("StandinNvencLastInit")();
  EXPECT_EQ(init->encodeConfig->rcParams.averageBitRate, 0xFFFFFFFFu);
  EXPECT_EQ(init->encodeConfig->rcParams.vbvBufferSize, 5000000000u / 30);
}

TEST_F(NvencEncoderTest, FailedFramesKeepOrConsumeTheKeyframeRequestAsDocumented) {
  test::LogCapture log;
  ASSERT_TRUE(encoder->initialize(h.device(), smallConfig()));
  collect();
  ASSERT_TRUE(encodePattern(0));

  // A null texture consumes nothing.
  encoder->requestKeyframe();
  EXPECT_FALSE(encoder->encodeFrame(nullptr));
  // A failed map leaves the request pending.
  fail("nvEncMapInputResource", NV_ENC_ERR_GENERIC);
  EXPECT_FALSE(encodePattern(1));
  fail("nvEncMapInputResource", 0);
  // A failed bitstream lock is a failed frame, and its IDR comes again.
  fail("nvEncLockBitstream", NV_ENC_ERR_LOCK_BUSY);
  EXPECT_FALSE(encodePattern(2));
  EXPECT_EQ(lastPicFlags(), 6u);
  EXPECT_TRUE(log.contains("nvEncLockBitstream failed", spdlog::level::err));
  fail("nvEncLockBitstream", 0);
  EXPECT_EQ(h.outputs.size(), 1u);
  ASSERT_TRUE(encodePattern(3));
  EXPECT_EQ(lastPicFlags(), 6u);
  ASSERT_EQ(h.outputs.size(), 2u);
  EXPECT_TRUE(h.outputs[1].keyframe);
  EXPECT_EQ(h.outputs[1].frameNumber, 1u);  // failed frames do not count

  // A failed encode consumes the request.
  encoder->requestKeyframe();
  fail("nvEncEncodePicture", NV_ENC_ERR_GENERIC);
  EXPECT_FALSE(encodePattern(4));
  fail("nvEncEncodePicture", 0);
  ASSERT_TRUE(encodePattern(5));
  EXPECT_EQ(lastPicFlags(), 0u);
  EXPECT_EQ(encoder->getStats().framesEncoded, 3u);

  // Shut down and start again: the count goes on.
  encoder->shutdown();
  EXPECT_FALSE(encoder->encodeFrame(nullptr));
  EXPECT_EQ(live(), 0);
  ASSERT_TRUE(encoder->initialize(h.device(), smallConfig()));
  ASSERT_TRUE(encodePattern(6));
  EXPECT_EQ(h.outputs.back().frameNumber, 3u);
  EXPECT_TRUE(h.outputs.back().keyframe);
}

}  // namespace
}  // namespace quorvane::host
