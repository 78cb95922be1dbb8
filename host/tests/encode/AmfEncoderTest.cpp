#include "encode/AmfEncoder.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/LogCapture.h"
#include "encode/StandinLibrary.h"

namespace quorvane::host {
namespace {

using Lines = std::vector<std::string>;

// The call log's lines that start with `prefix`, without it.
Lines linesStartingWith(const std::string& log, const std::string& prefix) {
  Lines out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) {
      out.push_back(line.substr(prefix.size()));
    }
  }
  return out;
}

class AmfEncoderTest : public test::EncoderTest<AmfEncoder> {
 protected:
  AmfEncoderTest() : EncoderTest(L"amfrt64.dll", "StandinAmf") {}
  Lines setProperties() const { return linesStartingWith(runtime.calls(), "Component.SetProperty "); }
  void setDelay(int frames) const { runtime.call("SetOutputDelay", frames); }
};

TEST_F(AmfEncoderTest, EncodesDecodablePicturesWithIdrOnFirstAndForcedFrames) {
  start();
  h.expectStreamWithForcedKeyframe(*encoder, 6, 4);
  EXPECT_EQ(linesStartingWith(runtime.calls(), "Surface.SetProperty "), Lines{"ForcePictureType=2"});
  for (uint32_t i = 0; i < h.outputs.size(); ++i) {
    EXPECT_EQ(h.outputs[i].timestamp, i);
  }
  EXPECT_TRUE(encoder->getCodecHeaders().valid);
  EXPECT_EQ(encoder->getStats().framesEncoded, 6u);

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
  const std::string calls = runtime.calls();
  EXPECT_EQ(linesStartingWith(calls, "AMFInit "), Lines{"0x0001000500000000"});
  EXPECT_EQ(linesStartingWith(calls, "Context.InitDX11 "), Lines{"110"});
  EXPECT_EQ(linesStartingWith(calls, "Factory.CreateComponent "), Lines{"AMFVideoEncoderVCE_AVC"});
  EXPECT_EQ(setProperties(),
            (Lines{"Usage=2", "QualityPreset=1", "Profile=77", "RateControlMethod=1", "TargetBitrate=8000000",
                   "PeakBitrate=12000000", "FrameRate=60/1", "IDRPeriod=120", "BPicturesPattern=0",
                   "HeaderInsertionSpacing=0", "VBVBufferSize=200000", "InitialVBVBufferFullness=64",
                   "LowLatencyInternal=true", "SlicesPerFrame=4", "EnableVBAQ=true", "FullRangeColor=true"}));
  EXPECT_EQ(linesStartingWith(calls, "Component.Init "), Lines{"3 256x144"});
  EXPECT_TRUE(
      log.contains("AMF encoder initialized: 256x144 @ 60fps, 8000kbps (H.264)", spdlog::level::info));
  encoder->shutdown();

  // One slice and limited range: neither property is set.
  runtime.reset();
  c.sliceCount = 1;
  c.fullRangeColor = false;
  ASSERT_TRUE(encoder->initialize(h.device(), c));
  for (const auto& line : setProperties()) {
    EXPECT_TRUE(line.find("SlicesPerFrame") == std::string::npos &&
                line.find("FullRange") == std::string::npos);
  }
  encoder->shutdown();

  // HEVC: its own component, properties and parameter sets including the VPS.
  runtime.reset();
  c = smallConfig();
  c.codec = "hevc";
  start(c);
  EXPECT_EQ(linesStartingWith(runtime.calls(), "Factory.CreateComponent "), Lines{"AMFVideoEncoderHW_HEVC"});
  EXPECT_EQ(
      setProperties(),
      (Lines{"HevcUsage=2", "HevcQualityPreset=10", "HevcProfile=1", "HevcTier=0", "HevcRateControlMethod=3",
             "HevcTargetBitrate=4000000", "HevcPeakBitrate=6000000", "HevcFrameRate=30/1", "HevcGOPSize=30",
             "HevcGOPSPerIDR=1", "HevcHeaderInsertionMode=2", "HevcVBVBufferSize=200000",
             "HevcInitialVBVBufferFullness=64", "LowLatencyInternal=true", "HevcEnableVBAQ=true"}));
  ASSERT_TRUE(encodePattern(0));
  const CodecHeaders headers = encoder->getCodecHeaders();
  EXPECT_TRUE(headers.valid);
  ASSERT_FALSE(headers.vps.empty());
  EXPECT_EQ(std::vector<int>({headers.vps[0], headers.sps[0], headers.pps[0]}),
            std::vector<int>({0x40, 0x42, 0x44}));
}

TEST_F(AmfEncoderTest, BitrateAndResolutionChanges) {
  test::LogCapture log;
  encoder->setBitrate(1000, 2000);  // before initialisation: nothing at all
  EXPECT_FALSE(encoder->reconfigure(smallConfig()));
  EXPECT_TRUE(log.contains("AMF encoder not initialized, cannot reconfigure", spdlog::level::err));
  EXPECT_FALSE(log.contains("AMF bitrate updated"));
  EXPECT_EQ(runtime.calls(), "");

  EncoderConfig c = smallConfig();
  c.gopLength = 1000;
  start(c);
  const uint64_t highRate = h.encodeNoise(*encoder, 12, c);
  runtime.reset();
  EncoderConfig lower = c;
  lower.bitrate = 300;
  lower.maxBitrate = 400;
  EXPECT_TRUE(encoder->reconfigure(lower));
  EXPECT_EQ(setProperties(), (Lines{"TargetBitrate=300000", "PeakBitrate=400000"}));
  EXPECT_TRUE(log.contains("AMF bitrate updated to 300 / 400 kbps", spdlog::level::info));
  const size_t before = h.outputs.size();
  const uint64_t lowRate = h.encodeNoise(*encoder, 30, c);
  EXPECT_FALSE(h.outputs[before].keyframe);  // no IDR forced by a rate change
  EXPECT_LT(lowRate * 2, highRate);

  // A new size re-creates context and component on the same device.
  EncoderConfig bigger = c;
  bigger.width = 320;
  bigger.height = 192;
  ASSERT_TRUE(encoder->reconfigure(bigger));
  EXPECT_TRUE(log.contains("AMF resolution change requires reinit: 256x144 -> 320x192", spdlog::level::info));
  ASSERT_TRUE(encodePattern(0, bigger));
  EXPECT_TRUE(h.outputs.back().keyframe);
}

TEST_F(AmfEncoderTest, DelayedFullAndBurstOutputAndUntypedOutput) {
  test::LogCapture log;
  ASSERT_TRUE(encoder->initialize(h.device(), smallConfig()));
  std::vector<std::string> callsAtCallback;
  h.record(*encoder, [&] { callsAtCallback.push_back(runtime.calls()); });
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
  runtime.reset();
  runtime.call("RejectSubmits", 1);
  ASSERT_TRUE(encodePattern(4));
  ASSERT_EQ(h.outputs.size(), 5u);
  EXPECT_EQ(h.outputs[3].frameNumber, 3u);
  // The first callback saw the refused submission only.
  EXPECT_EQ(linesStartingWith(callsAtCallback[3], "Component.SubmitInput").size(), 1u);

  // Refused twice: an ordinary failure.
  runtime.call("RejectSubmits", 2);
  EXPECT_FALSE(encodePattern(5));
  EXPECT_TRUE(log.contains("Failed to submit frame to AMF encoder: 25", spdlog::level::err));
  EXPECT_EQ(h.outputs.size(), 5u);
  ASSERT_TRUE(encodePattern(6));
  EXPECT_EQ(h.outputs.back().frameNumber, 5u);

  // An output without a picture type is no keyframe.
  runtime.call("OmitOutputType", true);
  encoder->requestKeyframe();
  ASSERT_TRUE(encodePattern(7));
  ASSERT_EQ(h.outputs.size(), 7u);
  EXPECT_FALSE(h.outputs.back().keyframe);
}

TEST_F(AmfEncoderTest, BadConfigurationOrFailureAtEachRuntimeCallReleasesEverything) {
  for (const char* step : {"AMFInit", "Factory.CreateContext", "Context.InitDX11", "Factory.CreateComponent",
                           "Component.Init"}) {
    SCOPED_TRACE(step);
    runtime.reset();
    runtime.fail(step, 10);
    AmfEncoder failing;
    EXPECT_FALSE(failing.initialize(h.device(), smallConfig()));
    EXPECT_FALSE(failing.isInitialized());
    EXPECT_EQ(runtime.live(), 0);
  }
  runtime.reset();
  EncoderConfig c = smallConfig();
  c.fps = 0;
  EXPECT_FALSE(encoder->initialize(h.device(), c));
  EXPECT_EQ(runtime.calls(), "");

  // A surface that cannot be made keeps the keyframe request.
  start();
  ASSERT_TRUE(encodePattern(0));
  encoder->requestKeyframe();
  runtime.fail("Context.CreateSurfaceFromDX11Native", 6);
  EXPECT_FALSE(encodePattern(1));
  runtime.fail("Context.CreateSurfaceFromDX11Native", 0);
  ASSERT_TRUE(encodePattern(2));
  EXPECT_TRUE(h.outputs.back().keyframe);
}

}  // namespace
}  // namespace quorvane::host
