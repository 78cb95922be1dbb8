#include "capture/CaptureOrchestrator.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nvEncodeAPI.h>

#include "StandinCaptureControl.h"
#include "capture/CaptureTestSupport.h"
#include "encode/StandinLibrary.h"
#include "encode/TestDecoder.h"

using quorvane::host::CaptureOrchestrator;
using quorvane::host::StandinCaptureControl;
using quorvane::test::TestDecoder;
using quorvane::test::TestWindow;
using quorvane::test::waitUntil;

namespace {

struct EncodedUnit {
  uint8_t streamId;
  std::vector<uint8_t> data;
  bool keyframe;
};

// What the orchestrator handed on so far.
struct Recorded {
  std::vector<EncodedUnit> units;
  std::vector<std::tuple<uint8_t, uint32_t, uint32_t>> sizeChanges;
  size_t unitsBeforeSizeChange = 0;  // the new encoder's output starts here
  size_t countOf(uint8_t id, size_t from) const {
    return std::count_if(units.begin() + from, units.end(),
                         [&](const EncodedUnit& u) { return u.streamId == id; });
  }
};

// Records everything the orchestrator hands on; onUnit runs inside the frame after each unit.
struct Output {
  std::mutex mutex;
  Recorded recorded;
  std::atomic<int> count{0};
  std::function<void(uint8_t)> onUnit;

  void attach(CaptureOrchestrator& orchestrator) {
    orchestrator.setFrameCallback([this](uint8_t id, const uint8_t* data, size_t size, bool keyframe) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.units.push_back({id, std::vector<uint8_t>(data, data + size), keyframe});
        ++count;
      }
      if (onUnit) onUnit(id);
    });
    orchestrator.setResolutionChangedCallback([this](uint8_t id, uint32_t w, uint32_t h) {
      std::lock_guard<std::mutex> lock(mutex);
      recorded.sizeChanges.emplace_back(id, w, h);
      recorded.unitsBeforeSizeChange = recorded.units.size();
    });
  }
  Recorded get() {
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
  }
  bool waitFor(int more) {
    const int target = count + more;
    return waitUntil([&] { return count >= target; });
  }
};

class CaptureOrchestratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StandinCaptureControl::reset();
    nvenc.reset();
    ASSERT_TRUE(orchestrator.initialize());
    ASSERT_STREQ(orchestrator.getEncoderName(), "NVENC");
    // Wine names an old build; the device is made first, as it reads the real registry.
    build.emplace(std::wstring(L"19045"));
    ASSERT_TRUE(build->active());
    output.attach(orchestrator);
  }
  void TearDown() override {
    orchestrator.shutdown();
    EXPECT_EQ(nvenc.live(), 0);
    nvenc.reset();
    StandinCaptureControl::reset();
    EXPECT_TRUE(waitUntil([] { return StandinCaptureControl::runningWorkers() == 0; }));
    build.reset();
  }

  // Decodes the stream's units from `first` on: each picture has the padded size, matches the
  // pattern over the whole frame and along its last column and row, and is black beyond them.
  void expectPictures(uint8_t streamId, uint32_t width, uint32_t height, int minimum, size_t first = 0) {
    TestDecoder decoder;
    int pictures = 0;
    const auto units = output.get().units;
    for (size_t i = first; i < units.size(); ++i) {
      std::vector<uint8_t> bgra;
      uint32_t w = 0, h = 0;
      if (units[i].streamId != streamId || !decoder.decode(units[i].data, bgra, w, h)) continue;
      SCOPED_TRACE(::testing::Message() << "picture " << ++pictures);
      ASSERT_EQ(std::make_pair(w, h), std::make_pair((width + 15) & ~15u, (height + 15) & ~15u));
      std::vector<uint8_t> expected(bgra.size());  // the pattern, black beyond it
      for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
          const uint32_t pixel = quorvane::test::patternPixel(x, y, width, height);
          std::memcpy(&expected[(size_t{y} * w + x) * 4], &pixel, 4);
        }
      }
      const auto psnr = [&](uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
        return TestDecoder::psnr(bgra, expected, w, x0, y0, x1, y1);
      };
      EXPECT_GE(psnr(0, 0, width, height), 35.0);
      EXPECT_GE(psnr(width - 1, 0, width, height), 30.0) << "last column";
      EXPECT_GE(psnr(0, height - 1, width, height), 30.0) << "last row";
      EXPECT_GE(std::min(psnr(width, 0, w, h), psnr(0, height, w, h)), 30.0) << "padding";
    }
    EXPECT_GE(pictures, minimum);
  }

  quorvane::test::LogCapture log;  // first: outlives the orchestrator
  quorvane::test::StandinLibrary nvenc{L"nvEncodeAPI64.dll", "StandinNvenc"};
  std::optional<quorvane::test::ScopedBuildNumber> build;
  CaptureOrchestrator orchestrator;
  Output output;
};

TEST_F(CaptureOrchestratorTest, EncodesTheWindowPaddedWithAndWithoutSharpening) {
  struct Case {
    bool sharpen;
    int width, height;
  };
  // The last case's sides are already multiples of 16 and are encoded as they are.
  for (const Case& c : {Case{false, 202, 122}, Case{true, 202, 122}, Case{false, 192, 128}}) {
    SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " sharpen=" << c.sharpen);
    orchestrator.setSharpeningEnabled(c.sharpen);
    orchestrator.setSharpness(0.0f);
    TestWindow window(c.width, c.height);
    const size_t first = output.get().units.size();
    EXPECT_FALSE(orchestrator.isStreamActive(1));
    ASSERT_TRUE(orchestrator.startCapture(window.id(), 1));
    EXPECT_TRUE(orchestrator.isStreamActive(1));
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(orchestrator.getStreamResolution(1, w, h));
    EXPECT_EQ(std::make_pair(w, h), std::make_pair(uint32_t(c.width), uint32_t(c.height)));
    ASSERT_TRUE(output.waitFor(6));
    EXPECT_TRUE(orchestrator.getCodecHeaders(1).valid);
    orchestrator.stopCapture(1);
    EXPECT_FALSE(orchestrator.isStreamActive(1));
    expectPictures(1, c.width, c.height, 6, first);
  }
  EXPECT_FALSE(orchestrator.getCodecHeaders(9).valid);
  uint32_t w = 7, h = 7;
  EXPECT_FALSE(orchestrator.getStreamResolution(9, w, h));
  EXPECT_EQ(w, 7u);
}

// Settings reach the encoders made after them, not the running ones; a stream's own bitrate
// reaches its running encoder.
TEST_F(CaptureOrchestratorTest, SettingsReachTheEncoders) {
  using U = std::vector<uint64_t>;
  orchestrator.setBitrate(8000, 12000);
  orchestrator.setFrameRate(60);
  orchestrator.setFullRangeColor(true);
  TestWindow window(96, 64);
  ASSERT_TRUE(orchestrator.startCapture(window.id(), 1));
  orchestrator.setBitrate(1000, 1000);
  orchestrator.setStreamBitrate(1, 3000, 4000);
  const auto* init = nvenc.call<const NV_ENC_INITIALIZE_PARAMS*>("LastInit");
  const auto& rc = init->encodeConfig->rcParams;
  const auto& h264 = init->encodeConfig->encodeCodecConfig.h264Config;
  const auto* re = nvenc.call<const NV_ENC_RECONFIGURE_PARAMS*>("LastReconfigure");
  EXPECT_EQ(U({init->encodeWidth, init->encodeHeight, init->frameRateNum, rc.averageBitRate, rc.maxBitRate,
               h264.h264VUIParameters.videoFullRangeFlag, h264.idrPeriod, h264.sliceModeData,
               re->reInitEncodeParams.encodeConfig->rcParams.averageBitRate,
               re->reInitEncodeParams.encodeConfig->rcParams.maxBitRate}),
            U({96, 64, 60, 8000000, 12000000, 1, 60, 4, 3000000, 4000000}));
}

TEST_F(CaptureOrchestratorTest, ResizeRecreatesTheEncoderAndKeyframesComeOnRequest) {
  TestWindow window(200, 120);
  ASSERT_TRUE(orchestrator.startCapture(window.id(), 3));
  ASSERT_TRUE(output.waitFor(3));
  window.resize(232, 150);
  ASSERT_TRUE(waitUntil([&] { return !output.get().sizeChanges.empty(); }));
  const size_t first = output.get().unitsBeforeSizeChange;
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(orchestrator.getStreamResolution(3, w, h));
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(232u, 150u));

  // After the new encoder's first keyframe, P frames until one is asked for.
  ASSERT_TRUE(output.waitFor(4));
  const int before = output.count;
  orchestrator.requestKeyframe(3);
  ASSERT_TRUE(output.waitFor(2));
  orchestrator.stopCapture(3);
  const auto units = output.get().units;
  EXPECT_EQ(output.get().sizeChanges, (decltype(Recorded::sizeChanges){{3, 232, 150}}));
  EXPECT_FALSE(units[before - 1].keyframe);
  EXPECT_TRUE(std::any_of(units.begin() + before, units.end(), [](const EncodedUnit& unit) {
    const auto types = TestDecoder::nalTypes(unit.data);
    return unit.keyframe && std::find(types.begin(), types.end(), 5) != types.end();
  }));
  expectPictures(3, 232, 150, 4, first);
}

TEST_F(CaptureOrchestratorTest, EndedCaptureIsInactiveAtOnceAndRemovedByUpdate) {
  auto window = std::make_unique<TestWindow>(160, 90);
  ASSERT_TRUE(orchestrator.startCapture(window->id(), 4));
  ASSERT_TRUE(output.waitFor(1));
  window.reset();
  EXPECT_TRUE(waitUntil([&] { return !orchestrator.isStreamActive(4); }));
  uint32_t w = 0, h = 0;
  EXPECT_TRUE(orchestrator.getStreamResolution(4, w, h)) << "still held until update";
  orchestrator.update();
  EXPECT_FALSE(orchestrator.getStreamResolution(4, w, h));
}

TEST_F(CaptureOrchestratorTest, FailedStartsLeaveNoStream) {
  TestWindow window(100, 60);
  ASSERT_TRUE(orchestrator.startCapture(window.id(), 5));
  // A restart with an invalid window removes the old stream and fails.
  EXPECT_FALSE(orchestrator.startCapture(0x7ffffff0u, 5));
  StandinCaptureControl::setSupported(false);
  EXPECT_FALSE(orchestrator.startCapture(window.id(), 6));
  StandinCaptureControl::reset();
  StandinCaptureControl::failStep(StandinCaptureControl::Step::SetBorder, E_NOINTERFACE);
  EXPECT_FALSE(orchestrator.startCapture(window.id(), 6));
  StandinCaptureControl::reset();
  nvenc.fail("nvEncOpenEncodeSessionEx", 10);
  EXPECT_FALSE(orchestrator.startCapture(window.id(), 7));
  for (uint8_t id : {5, 6, 7}) {
    uint32_t w = 0, h = 0;
    EXPECT_FALSE(orchestrator.getStreamResolution(id, w, h) || orchestrator.isStreamActive(id)) << int(id);
  }
  EXPECT_EQ(nvenc.live(), 0);
  // A second initialisation and a shutdown of one never initialised are harmless.
  EXPECT_TRUE(orchestrator.initialize());
  CaptureOrchestrator().shutdown();
}

// The host's own window: its thread runs update() and asks isStreamActive() every frame and
// does not pump messages while another thread starts a capture of it under the stream lock.
TEST_F(CaptureOrchestratorTest, CapturingAWindowOfTheUpdatingThreadDoesNotDeadlock) {
  TestWindow own(120, 80, L"Own window", /*onCallingThread=*/true);
  std::atomic<bool> done{false}, started{false};
  std::thread starter([&] {
    started = orchestrator.startCapture(own.id(), 7);
    done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    orchestrator.update();
    orchestrator.isStreamActive(7);
  }
  ASSERT_TRUE(done) << "start blocked on the window's thread";
  starter.join();
  EXPECT_TRUE(started);
  ASSERT_TRUE(waitUntil([&] {
    orchestrator.update();
    return output.count >= 3;
  }));
}

// The runtime allows one encoder session: each restart must release the old one first.
TEST_F(CaptureOrchestratorTest, StopRestartAndShutdownWhileFramesFlow) {
  nvenc.call("MaxSessions", 1);
  TestWindow first(96, 64), second(128, 80);
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(orchestrator.startCapture((i % 2 == 0 ? first : second).id(), 8)) << i;
    ASSERT_TRUE(output.waitFor(1));
    if (i % 3 == 0) {
      std::thread other([&] { orchestrator.update(); });
      orchestrator.stopCapture(8);
      other.join();
    }
  }
  // No frame of the old window reached the new stream (it would count as a size change).
  EXPECT_TRUE(output.get().sizeChanges.empty());
  ASSERT_TRUE(output.waitFor(2));
  orchestrator.shutdown();
  const int after = output.count;
  EXPECT_TRUE(waitUntil([] { return StandinCaptureControl::runningWorkers() == 0; }));
  EXPECT_EQ(output.count, after);
}

// From inside a frame of stream 1, stream 2 and then stream 1 itself move to other windows,
// with no more encoder sessions allowed than streams.
TEST_F(CaptureOrchestratorTest, RestartsInsideAFrameReleaseTheOldEncoderFirst) {
  nvenc.call("MaxSessions", 2);
  TestWindow a(96, 64), b(128, 80), c(112, 48), d(64, 96);
  ASSERT_TRUE(orchestrator.startCapture(a.id(), 1));
  ASSERT_TRUE(orchestrator.startCapture(b.id(), 2));
  std::atomic<int> restarted{-1};
  size_t first = 0;
  output.onUnit = [&](uint8_t id) {
    if (id == 1 && restarted < 0) {
      first = output.get().units.size();
      restarted = orchestrator.startCapture(c.id(), 2) + 2 * orchestrator.startCapture(d.id(), 1);
    }
  };
  ASSERT_TRUE(waitUntil([&] { return restarted >= 0; }));
  EXPECT_EQ(restarted, 3);
  ASSERT_TRUE(
      waitUntil([&] { return output.get().countOf(1, first) >= 3 && output.get().countOf(2, first) >= 3; }));
  for (auto [id, w, h] : {std::tuple{1, 64u, 96u}, std::tuple{2, 112u, 48u}}) {
    uint32_t width = 0, height = 0;
    EXPECT_TRUE(orchestrator.getStreamResolution(id, width, height) && orchestrator.isStreamActive(id));
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(w, h));
    expectPictures(id, w, h, 3, first);
  }
}

}  // namespace
