#include "encode/AmfEncoder.h"

#include <gtest/gtest.h>

#include <sstream>
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

// The call log's lines that start with `prefix`, without it.
std::vector<std::string> linesStartingWith(const std::string& log, const std::string& prefix) {
  std::vector<std::string> out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) {
      out.push_back(line.substr(prefix.size()));
    }
  }
  return out;
}

class AmfEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset = runtime.fn<void (*)()>("StandinAmfReset");
    fail = runtime.fn<void (*)(const char*, int)>("StandinAmfFail");
    calls = runtime.fn<const char* (*)()>("StandinAmfCalls");
    live = runtime.fn<int (*)()>("StandinAmfLiveObjects");
    setDelay = runtime.fn<void (*)(int)>("StandinAmfSetOutputDelay");
    rejectSubmits = runtime.fn<void (*)(int)>("StandinAmfRejectSubmits");
    reset();
  }

  void TearDown() override {
    encoder.reset();
    runtime.expectAllReleased("StandinAmfLiveObjects");
  }

  static EncoderConfig smallConfig() { return test::EncoderHarness::smallConfig(); }

  void collect() {
    h.record(*encoder, [this] { callLogAtCallback.push_back(calls()); });
  }

  bool encodePattern(uint32_t frame, const EncoderConfig& c = smallConfig()) {
    return h.encodePattern(*encoder, frame, c);
  }

  test::EncoderHarness h;
  StandinLibrary runtime{L"amfrt64.dll"};
  void (*reset)();
  void (*fail)(const char*, int);
  const char* (*calls)();
  int (*live)();
  void (*setDelay)(int);
  void (*rejectSubmits)(int);
  std::unique_ptr<AmfEncoder> encoder = std::make_unique<AmfEncoder>();
  std::vector<std::string> callLogAtCallback;
};

TEST_F(AmfEncoderTest, EncodesDecodablePicturesWithIdrOnFirstAndForcedFrames) {
  ASSERT_TRUE(encoder->initialize(h.device(), smallConfig()));
  collect();
  for (uint32_t i = 0; i < 6; ++i) {
    if (i == 4) {
      encoder->requestKeyframe();
    }
    ASSERT_TRUE(encodePattern(i));
  }
  ASSERT_EQ(h.outputs.size(), 6u);
  EXPECT_EQ(linesStartingWith(calls(), "Surface.SetProperty "),
            std::vector<std::string>{"ForcePictureType=2"});
  h.expectDecodesToPictures();
  for (uint32_t i = 0; i < h.outputs.size(); ++i) {
    EXPECT_EQ(h.outputs[i].timestamp, i);
    EXPECT_EQ(h.outputs[i].frameNumber, i);
    EXPECT_EQ(h.outputs[i].keyframe, i == 0 || i == 4) << i;
    if (h.outputs[i].keyframe) {
      const auto types = TestDecoder::nalTypes(h.outputs[i].data);
      EXPECT_EQ(types.front(), 7);
      EXPECT_EQ(types.at(1), 8);
    }
  }
  EXPECT_TRUE(encoder->getCodecHeaders().valid);
  EXPECT_EQ(encoder->getStats().framesEncoded, 6u);
  EXPECT_EQ(encoder->getStats().avgEncodeTimeMs, 0.0);

  // A null texture consumes no keyframe request.
  encoder->requestKeyframe();
  EXPECT_FALSE(encoder->encodeFrame(nullptr));
  ASSERT_TRUE(encodePattern(6));
  EXPECT_TRUE(h.outputs.back().keyframe);
}

TEST_F(AmfEncoderTest, ComponentGetsTheLowLatencyCbrPropertiesInOrder) {
  test::LogCapture log;
  EncoderConfig c = smallConfig();
  c.fps = 60;
  c.bitrate = 8000;
  c.maxBitrate = 12000;
  c.gopLength = 120;
  c.fullRangeColor = true;
  ASSERT_TRUE(encoder->initialize(h.device(), c));
  const std::string log1 = calls();
  EXPECT_EQ(linesStartingWith(log1, "AMFInit "), std::vector<std::string>{"0x0001000500000000"});
  EXPECT_EQ(linesStartingWith(log1, "Context.InitDX11 "), std::vector<std::string>{"110"});
  EXPECT_EQ(linesStartingWith(log1, "Factory.CreateComponent "),
            std::vector<std::string>{"AMFVideoEncoderVCE_AVC"});
  EXPECT_EQ(linesStartingWith(log1, "Component.SetProperty "),
            (std::vector<std::string>{
                "Usage=2", "QualityPreset=1", "Profile=77", "RateControlMethod=1", "TargetBitrate=8000000",
                "PeakBitrate=12000000", "FrameRate=60/1", "IDRPeriod=120", "BPicturesPattern=0",
                "HeaderInsertionSpacing=0", "VBVBufferSize=200000", "InitialVBVBufferFullness=64",
                "LowLatencyInternal=true", "SlicesPerFrame=4", "EnableVBAQ=true", "FullRangeColor=true"}));
  EXPECT_EQ(linesStartingWith(log1, "Component.Init "), std::vector<std::string>{"3 256x144"});
  EXPECT_TRUE(
      log.contains("AMF encoder initialized: 256x144 @ 60fps, 8000kbps (H.264)", spdlog::level::info));
  encoder->shutdown();

  // One slice, or slices off: no slice property.
  reset();
  c.sliceCount = 1;
  c.fullRangeColor = false;
  ASSERT_TRUE(encoder->initialize(h.device(), c));
  for (const auto& line : linesStartingWith(calls(), "Component.SetProperty ")) {
    EXPECT_EQ(line.find("SlicesPerFrame"), std::string::npos);
    EXPECT_EQ(line.find("FullRangeColor"), std::string::npos);
  }
  encoder->shutdown();

  // HEVC: its own component, properties and parameter sets including the VPS.
  reset();
  c = smallConfig();
  c.codec = "hevc";
  ASSERT_TRUE(encoder->initialize(h.device(), c));
  const std::string log2 = calls();
  EXPECT_EQ(linesStartingWith(log2, "Factory.CreateComponent "),
            std::vector<std::string>{"AMFVideoEncoderHW_HEVC"});
  EXPECT_EQ(
      linesStartingWith(log2, "Component.SetProperty "),
      (std::vector<std::string>{
          "HevcUsage=2", "HevcQualityPreset=10", "HevcProfile=1", "HevcTier=0", "HevcRateControlMethod=3",
          "HevcTargetBitrate=4000000", "HevcPeakBitrate=6000000", "HevcFrameRate=30/1", "HevcGOPSize=30",
          "HevcGOPSPerIDR=1", "HevcHeaderInsertionMode=2", "HevcVBVBufferSize=200000",
          "HevcInitialVBVBufferFullness=64", "LowLatencyInternal=true", "HevcEnableVBAQ=true"}));
  collect();
  ASSERT_TRUE(encodePattern(0));
  const CodecHeaders headers = encoder->getCodecHeaders();
  EXPECT_TRUE(headers.valid);
  ASSERT_FALSE(headers.vps.empty());
  EXPECT_EQ(headers.vps[0], 0x40);
  EXPECT_EQ(headers.sps[0], 0x42);
  EXPECT_EQ(headers.pps[0], 0x44);
}

TEST_F(AmfEncoderTest, BitrateAndResolutionChanges) {
  test::LogCapture log;
  encoder->setBitrate(1000, 2000);  // before initialisation: nothing at all
  EXPECT_FALSE(encoder->reconfigure(smallConfig()));
  EXPECT_TRUE(log.contains("AMF encoder not initialized, cannot reconfigure", spdlog::level::err));
  EXPECT_FALSE(log.contains("AMF bitrate updated"));
  EXPECT_EQ(std::string(calls()), "");

  EncoderConfig c = smallConfig();
  c.gopLength = 1000;
  ASSERT_TRUE(encoder->initialize(h.device(), c));
  collect();
  for (uint32_t i = 0; i < 12; ++i) {
    ASSERT_TRUE(h.encodeNoise(*encoder, i, c));
  }
  const uint64_t highRate = h.meanSizeFrom(6);
  reset();
  EncoderConfig lower = c;
  lower.bitrate = 300;
  lower.maxBitrate = 400;
  EXPECT_TRUE(encoder->reconfigure(lower));
  EXPECT_EQ(linesStartingWith(calls(), "Component.SetProperty "),
            (std::vector<std::string>{"TargetBitrate=300000", "PeakBitrate=400000"}));
  EXPECT_TRUE(log.contains("AMF bitrate updated to 300 / 400 kbps", spdlog::level::info));
  const size_t before = h.outputs.size();
  for (uint32_t i = 0; i < 30; ++i) {
    ASSERT_TRUE(h.encodeNoise(*encoder, 100 + i, c));
  }
  EXPECT_FALSE(h.outputs[before].keyframe);  // no IDR forced by a rate change
  EXPECT_LT(h.meanSizeFrom(before + 20) * 2, highRate);

  // A new size re-creates context and component on the same device.
  EncoderConfig bigger = c;
  bigger.width = 320;
  bigger.height = 192;
  ASSERT_TRUE(encoder->reconfigure(bigger));
  EXPECT_TRUE(log.contains("AMF resolution change requires reinit: 256x144 -> 320x192", spdlog::level::info));
  EXPECT_TRUE(encoder->isInitialized());
  ASSERT_TRUE(encodePattern(0, bigger));
  EXPECT_TRUE(h.outputs.back().keyframe);
}

TEST_F(AmfEncoderTest, DelayedFullAndBurstOutput) {
  test::LogCapture log;
  ASSERT_TRUE(encoder->initialize(h.device(), smallConfig()));
  collect();
  setDelay(2);
  ASSERT_TRUE(encodePattern(0));
  ASSERT_TRUE(encodePattern(1));
  EXPECT_TRUE(h.outputs.empty());  // nothing finished yet
  setDelay(0);
  ASSERT_TRUE(encodePattern(2));
  ASSERT_EQ(h.outputs.size(), 3u);  // several at once, in order
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(h.outputs[i].frameNumber, i);
  }

  // "Input full": the pending output is drained before the one retry.
  setDelay(1);
  ASSERT_TRUE(encodePattern(3));
  EXPECT_EQ(h.outputs.size(), 3u);
  setDelay(0);
  reset();
  rejectSubmits(1);
  ASSERT_TRUE(encodePattern(4));
  ASSERT_EQ(h.outputs.size(), 5u);
  EXPECT_EQ(h.outputs[3].frameNumber, 3u);
  const auto submitsSeenByFirstCallback = linesStartingWith(callLogAtCallback[3], "Component.SubmitInput");
  EXPECT_EQ(submitsSeenByFirstCallback.size(), 1u);  // the refused one only

  // Refused twice: an ordinary failure.
  rejectSubmits(2);
  EXPECT_FALSE(encodePattern(5));
  EXPECT_TRUE(log.contains("Failed to submit frame to AMF encoder: 25", spdlog::level::err));
  EXPECT_EQ(h.outputs.size(), 5u);
  ASSERT_TRUE(encodePattern(6));
  EXPECT_EQ(h.outputs.back().frameNumber, 5u);
}

TEST_F(AmfEncoderTest, OutputWithoutTypeIsNotAKeyframe) {
  ASSERT_TRUE(encoder->initialize(h.device(), smallConfig()));
  collect();
  runtime.fn<void (*)(bool)>("StandinAmfOmitOutputType")(true);
  ASSERT_TRUE(encodePattern(0));
  ASSERT_EQ(h.outputs.size(), 1u);
  EXPECT_FALSE(h.outputs[0].keyframe);
  EXPECT_FALSE(encoder->getCodecHeaders().valid);
}

TEST_F(AmfEncoderTest, FailureAtEachRuntimeCallReleasesEverything) {
  struct Step {
    const char* call;
    int result;
    const char* message;
  };
  const Step steps[] = {
      {"AMFInit", 1, "AMFInit failed: 1"},
      {"Factory.CreateContext", 6, "Failed to create AMF context: 6"},
      {"Context.InitDX11", 10, "Failed to init AMF context with D3D11: 10"},
      {"Factory.CreateComponent", 10, "Failed to create AMF encoder component: 10"},
      {"Component.Init", 5,
       "AMF ENCODER ERROR: Failed to init 256x144 (error 5). Resolution may be too small (min ~64x64) or too "
       "large"},
      {"Component.Init", 13,
       "AMF ENCODER ERROR: Failed to init 256x144 (error 13). AMF library not properly initialized - "
       "reinstall AMD "
       "drivers"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.call);
    test::LogCapture log;
    reset();
    fail(step.call, step.result);
    AmfEncoder failing;
    EXPECT_FALSE(failing.initialize(h.device(), smallConfig()));
    EXPECT_FALSE(failing.isInitialized());
    EXPECT_TRUE(log.contains(step.message, spdlog::level::err));
    EXPECT_EQ(live(), 0);
  }
  reset();
  EncoderConfig c = smallConfig();
  c.fps = 0;
  EXPECT_FALSE(encoder->initialize(h.device(), c));
  EXPECT_EQ(std::string(calls()), "");

  // A surface that cannot be made keeps the keyframe request.
  ASSERT_TRUE(encoder->initialize(h.device(), smallConfig()));
  collect();
  ASSERT_TRUE(encodePattern(0));
  encoder->requestKeyframe();
  fail("Context.CreateSurfaceFromDX11Native", 6);
  EXPECT_FALSE(encodePattern(1));
  fail("Context.CreateSurfaceFromDX11Native", 0);
  ASSERT_TRUE(encodePattern(2));
  EXPECT_TRUE(h.outputs.back().keyframe);
  encoder.reset();
  EXPECT_EQ(live(), 0);
  runtime.release();
  EXPECT_FALSE(runtime.loadedByAnyone());
}

}  // namespace
}  // namespace quorvane::host
