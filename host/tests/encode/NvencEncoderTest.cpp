#include "encode/NvencEncoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "encode/StandinLibrary.h"

namespace quorvane::host {
namespace {

using U = std::vector<uint64_t>;

class NvencEncoderTest : public test::EncoderTest<NvencEncoder> {
 protected:
  NvencEncoderTest() : EncoderTest(L"nvEncodeAPI64.dll", "StandinNvenc") {}
  uint32_t lastPicFlags() const { return runtime.call<uint32_t>("LastPicFlags"); }
  template <typename T>
  const T* last(const char* what) const {
    return runtime.call<const T*>(what);
  }
};

TEST_F(NvencEncoderTest, EncodesDecodablePicturesWithIdrOnFirstAndForcedFrames) {
  test::LogCapture log;
  start();
  h.expectStreamWithForcedKeyframe(*encoder, 8, 5);
  uint64_t bytes = 0;
  for (const auto& out : h.outputs) {
    bytes += out.data.size();
  }
  const CodecHeaders headers = encoder->getCodecHeaders();
  ASSERT_TRUE(headers.valid);
  EXPECT_EQ(U({headers.sps[0] & 0x1Fu, headers.pps[0] & 0x1Fu}), U({7, 8}));
  const EncoderStats stats = encoder->getStats();
  EXPECT_EQ(U({stats.framesEncoded, stats.bytesEncoded}), U({8, bytes}));
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

  std::string ring;
  for (int i = 0; i < 4; ++i) {
    ring += "nvEncRegisterResource\nnvEncCreateBitstreamBuffer\n";
  }
  EXPECT_EQ(runtime.calls(),
            "NvEncodeAPICreateInstance\nnvEncOpenEncodeSessionEx\nnvEncGetEncodePresetConfigEx\n"
            "nvEncInitializeEncoder\n" +
                ring);
  const auto* open = last<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>("LastOpen");
  EXPECT_EQ(open->deviceType, NV_ENC_DEVICE_TYPE_DIRECTX);
  EXPECT_EQ(open->device, h.device());
  const auto* init = last<NV_ENC_INITIALIZE_PARAMS>("LastInit");
  EXPECT_TRUE(IsEqualGUID(init->encodeGUID, NV_ENC_CODEC_H264_GUID));
  EXPECT_TRUE(IsEqualGUID(init->presetGUID, NV_ENC_PRESET_P1_GUID));
  EXPECT_EQ(init->tuningInfo, NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY);
  // Size, rate, synchronous mode, picture types decided by the runtime.
  EXPECT_EQ(
      U({init->encodeWidth, init->darWidth, init->maxEncodeWidth, init->encodeHeight, init->maxEncodeHeight,
         init->frameRateNum, init->frameRateDen, init->enableEncodeAsync, init->enablePTD}),
      U({256, 256, 256, 144, 144, 60, 1, 0, 1}));
  const NV_ENC_CONFIG& cfg = *init->encodeConfig;
  EXPECT_TRUE(IsEqualGUID(cfg.profileGUID, NV_ENC_H264_PROFILE_HIGH_GUID));  // the preset's
  const auto& rc = cfg.rcParams;
  EXPECT_EQ(rc.rateControlMode, NV_ENC_PARAMS_RC_CBR);
  EXPECT_EQ(U({cfg.gopLength, static_cast<uint64_t>(cfg.frameIntervalP), rc.averageBitRate, rc.maxBitRate,
               rc.vbvBufferSize, rc.vbvInitialDelay, rc.enableAQ, rc.zeroReorderDelay, rc.aqStrength}),
            U({120, 1, 8000000, 12000000, 200000, 200000, 1, 1, 8}));
  const auto& h264 = cfg.encodeCodecConfig.h264Config;
  const auto& vui = h264.h264VUIParameters;
  EXPECT_EQ(U({h264.repeatSPSPPS, h264.outputAUD, h264.disableSPSPPS, h264.idrPeriod, h264.maxNumRefFrames,
               h264.sliceMode, h264.sliceModeData, vui.videoSignalTypePresentFlag, vui.videoFullRangeFlag,
               static_cast<uint64_t>(vui.colourPrimaries), static_cast<uint64_t>(vui.colourMatrix)}),
            U({1, 0, 0, 120, 1, 3, 4, 1, 1, 1, 1}));
  const auto* reg = last<NV_ENC_REGISTER_RESOURCE>("LastRegister");
  EXPECT_EQ(reg->bufferFormat, NV_ENC_BUFFER_FORMAT_ARGB);
  EXPECT_EQ(reg->bufferUsage, NV_ENC_INPUT_IMAGE);
  EXPECT_EQ(reg->pitch, 0u);
  encoder->shutdown();

  // HEVC: its own codec, configuration and parameter sets including the VPS.
  runtime.reset();
  c = smallConfig();
  c.codec = "h265";
  c.gopLength = 90;
  c.sliceCount = 2;
  start(c);
  const auto& hevc = last<NV_ENC_INITIALIZE_PARAMS>("LastInit")->encodeConfig->encodeCodecConfig.hevcConfig;
  EXPECT_TRUE(IsEqualGUID(last<NV_ENC_INITIALIZE_PARAMS>("LastInit")->encodeGUID, NV_ENC_CODEC_HEVC_GUID));
  EXPECT_EQ(
      U({hevc.repeatSPSPPS, hevc.idrPeriod, hevc.maxNumRefFramesInDPB, hevc.sliceMode, hevc.sliceModeData}),
      U({1, 90, 1, 3, 2}));
  ASSERT_TRUE(encodePattern(0));
  const CodecHeaders headers = encoder->getCodecHeaders();
  EXPECT_TRUE(headers.valid);
  ASSERT_FALSE(headers.vps.empty());
  EXPECT_EQ(U({headers.vps[0], headers.sps[0]}), U({0x40, 0x42}));
}

TEST_F(NvencEncoderTest, BitrateChangeReachesRuntimeAndOutputFollowsIt) {
  test::LogCapture log;
  EncoderConfig c = smallConfig();
  c.gopLength = 1000;
  start(c);
  const uint64_t highRate = h.encodeNoise(*encoder, 12, c);

  EncoderConfig lower = c;
  lower.bitrate = 300;
  lower.maxBitrate = 400;
  EXPECT_TRUE(encoder->reconfigure(lower));
  EXPECT_TRUE(log.contains("Bitrate updated to 300 / 400 kbps", spdlog::level::info));
  const auto* re = last<NV_ENC_RECONFIGURE_PARAMS>("LastReconfigure");
  const auto& p = re->reInitEncodeParams;
  const auto& rc = p.encodeConfig->rcParams;
  // An IDR, no reset, no new maximum size; the initial delay keeps its old value.
  EXPECT_EQ(U({re->forceIDR, re->resetEncoder, p.maxEncodeWidth, p.maxEncodeHeight, p.encodeWidth,
               rc.averageBitRate, rc.maxBitRate, rc.vbvBufferSize, rc.vbvInitialDelay}),
            U({1, 0, 0, 0, 256, 300000, 400000, 400000 / 30, 6000000 / 30}));

  const size_t before = h.outputs.size();
  const uint64_t lowRate = h.encodeNoise(*encoder, 30, c);
  EXPECT_TRUE(h.outputs[before].keyframe);
  EXPECT_LT(lowRate * 2, highRate) << lowRate << " vs " << highRate;

  runtime.fail("nvEncReconfigureEncoder", NV_ENC_ERR_INVALID_PARAM);
  encoder->setBitrate(9000, 9000);
  EXPECT_TRUE(log.contains("Failed to reconfigure bitrate: 8", spdlog::level::warn));
  runtime.fail("nvEncReconfigureEncoder", 0);

  // A new size is refused and the old one keeps encoding.
  EncoderConfig bigger = c;
  bigger.width = 512;
  EXPECT_FALSE(encoder->reconfigure(bigger));
  EXPECT_TRUE(log.contains("Resolution change requires re-initialization", spdlog::level::warn));
  EXPECT_TRUE(encodePattern(0));
}

TEST_F(NvencEncoderTest, BadConfigurationOrFailureAtEachRuntimeCallReleasesEverything) {
  for (const char* step :
       {"NvEncodeAPICreateInstance", "nvEncOpenEncodeSessionEx", "nvEncGetEncodePresetConfigEx",
        "nvEncInitializeEncoder", "nvEncRegisterResource", "nvEncCreateBitstreamBuffer"}) {
    SCOPED_TRACE(step);
    test::LogCapture log;
    runtime.reset();
    runtime.fail(step, NV_ENC_ERR_OUT_OF_MEMORY);
    NvencEncoder failing;
    EXPECT_FALSE(failing.initialize(h.device(), smallConfig()));
    EXPECT_FALSE(failing.isInitialized());
    EXPECT_EQ(runtime.live(), 0);
    EXPECT_EQ(
        log.contains("NVENC ERROR: Failed to open encode session (error 10). GPU memory exhausted - close "
                     "other apps using NVENC",
                     spdlog::level::err),
        std::string(step) == "nvEncOpenEncodeSessionEx");
  }
  // A zero frame rate or size never reaches the runtime.
  runtime.reset();
  for (auto bad : {&EncoderConfig::fps, &EncoderConfig::height}) {
    EncoderConfig c = smallConfig();
    c.*bad = 0;
    EXPECT_FALSE(encoder->initialize(h.device(), c));
  }
  EXPECT_EQ(runtime.calls(), "");
  // Huge bitrates saturate rather than wrap.
  EncoderConfig c = smallConfig();
  c.bitrate = c.maxBitrate = 5000000;
  ASSERT_TRUE(encoder->initialize(h.device(), c));
  const auto& rc = last<NV_ENC_INITIALIZE_PARAMS>("LastInit")->encodeConfig->rcParams;
  EXPECT_EQ(U({rc.averageBitRate, rc.vbvBufferSize}), U({0xFFFFFFFFu, 5000000000u / 30}));
}

TEST_F(NvencEncoderTest, FailedFramesKeepOrConsumeTheKeyframeRequestAsDocumented) {
  test::LogCapture log;
  start();
  ASSERT_TRUE(encodePattern(0));

  // A null texture consumes nothing; a failed map leaves the request pending.
  encoder->requestKeyframe();
  EXPECT_FALSE(encoder->encodeFrame(nullptr));
  runtime.fail("nvEncMapInputResource", NV_ENC_ERR_GENERIC);
  EXPECT_FALSE(encodePattern(1));
  runtime.fail("nvEncMapInputResource", 0);
  // A failed bitstream lock is a failed frame, and its IDR comes again.
  runtime.fail("nvEncLockBitstream", NV_ENC_ERR_LOCK_BUSY);
  EXPECT_FALSE(encodePattern(2));
  EXPECT_EQ(lastPicFlags(), 6u);
  EXPECT_TRUE(log.contains("nvEncLockBitstream failed", spdlog::level::err));
  runtime.fail("nvEncLockBitstream", 0);
  EXPECT_EQ(h.outputs.size(), 1u);
  ASSERT_TRUE(encodePattern(3));
  EXPECT_EQ(lastPicFlags(), 6u);
  ASSERT_EQ(h.outputs.size(), 2u);
  EXPECT_TRUE(h.outputs[1].keyframe);
  EXPECT_EQ(h.outputs[1].frameNumber, 1u);  // failed frames do not count

  // A failed encode consumes the request.
  encoder->requestKeyframe();
  runtime.fail("nvEncEncodePicture", NV_ENC_ERR_GENERIC);
  EXPECT_FALSE(encodePattern(4));
  runtime.fail("nvEncEncodePicture", 0);
  ASSERT_TRUE(encodePattern(5));
  EXPECT_EQ(lastPicFlags(), 0u);
  EXPECT_EQ(encoder->getStats().framesEncoded, 3u);

  // Shut down and start again: the count goes on.
  encoder->shutdown();
  EXPECT_FALSE(encoder->encodeFrame(nullptr));
  EXPECT_EQ(runtime.live(), 0);
  ASSERT_TRUE(encoder->initialize(h.device(), smallConfig()));
  ASSERT_TRUE(encodePattern(6));
  EXPECT_EQ(h.outputs.back().frameNumber, 3u);
  EXPECT_TRUE(h.outputs.back().keyframe);
}

}  // namespace
}  // namespace quorvane::host
