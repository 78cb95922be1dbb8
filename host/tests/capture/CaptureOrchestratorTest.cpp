#include "capture/CaptureOrchestrator.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

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
using quorvane::test::waitFor;

namespace {

struct EncodedUnit {
  uint8_t streamId;
  std::vector<uint8_t> data;
  bool keyframe;
};

// An initialised orchestrator on the stand-in runtimes, recording everything it hands on; onUnit
// runs inside the frame after each unit.
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
    orchestrator.setFrameCallback([this](uint8_t id, const uint8_t* data, size_t size, bool keyframe) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        units.push_back({id, std::vector<uint8_t>(data, data + size), keyframe});
        ++count;
      }
      if (onUnit) onUnit(id);
    });
    orchestrator.setResolutionChangedCallback([this](uint8_t id, uint32_t w, uint32_t h) {
      std::lock_guard<std::mutex> lock(mutex);
      sizeChanges.emplace_back(id, w, h);
      unitsBeforeSizeChange = units.size();  // the new encoder's output starts here
    });
  }
  void TearDown() override {
    orchestrator.shutdown();
    EXPECT_EQ(nvenc.live(), 0);
    nvenc.reset();
    StandinCaptureControl::reset();
    EXPECT_TRUE(waitFor([] { return StandinCaptureControl::runningWorkers() == 0; }));
  }
  template <typename T>
  T copy(const T& recorded) {
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
  }
  bool waitForUnits(int more) {
    const int target = count + more;
    return waitFor([&] { return count >= target; });
  }
  size_t countOf(uint8_t id, size_t from) {
    const auto all = copy(units);
    return std::count_if(all.begin() + from, all.end(),
                         [&](const EncodedUnit& u) { return u.streamId == id; });
  }
  // Decodes the stream's units from `first` on: each picture from unit `checkFrom` on has the
  // padded size, matches the pattern over the whole frame and along its last column and row, and
  // is black beyond them; at least `minimum` are checked.
  void expectPictures(uint8_t streamId, uint32_t width, uint32_t height, int minimum, size_t first = 0,
                      size_t checkFrom = 0) {
    TestDecoder decoder;
    int pictures = 0;
    const auto recorded = copy(units);
    for (size_t i = first; i < recorded.size(); ++i) {
      std::vector<uint8_t> bgra;
      uint32_t w = 0, h = 0;
      if (recorded[i].streamId != streamId || !decoder.decode(recorded[i].data, bgra, w, h) || i < checkFrom)
        continue;
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
  std::mutex mutex;
  std::vector<EncodedUnit> units;
  std::vector<std::tuple<uint8_t, uint32_t, uint32_t>> sizeChanges;
  size_t unitsBeforeSizeChange = 0;
  std::atomic<int> count{0};
  std::function<void(uint8_t)> onUnit;
};

// Sharpened pictures padded to multiples of 16, also from the new encoder after a resize, with P
// frames until a keyframe is asked for; a closed window's stream is inactive, gone after update().
TEST_F(CaptureOrchestratorTest, EncodesSharpenedPaddedPicturesAndFollowsTheWindow) {
  orchestrator.setSharpeningEnabled(true);
  orchestrator.setSharpness(0.0f);
  auto window = std::make_unique<TestWindow>(202, 122);
  EXPECT_FALSE(orchestrator.isStreamActive(3));
  ASSERT_TRUE(orchestrator.startCapture(window->id(), 3));
  EXPECT_TRUE(orchestrator.isStreamActive(3));
  ASSERT_TRUE(waitForUnits(4));
  EXPECT_TRUE(orchestrator.getCodecHeaders(3).valid);
  expectPictures(3, 202, 122, 4);
  window->resize(232, 150);
  // A frame grabbed before the window was painted at its new size may show it unpainted (a busy
  // machine can leave its thread waiting in between for frames on end). Only pictures grabbed
  // after it are checked: once the frame that may have been on its way is delivered, every unit
  // that follows comes from one of them.
  const uint64_t raised = StandinCaptureControl::framesRaised();
  ASSERT_TRUE(waitFor([&] { return StandinCaptureControl::framesRaised() > raised; }));
  const size_t painted = copy(units).size();
  ASSERT_TRUE(waitFor([&] { return !copy(sizeChanges).empty(); }));
  const size_t first = copy(unitsBeforeSizeChange);
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(orchestrator.getStreamResolution(3, w, h));
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(232u, 150u));
  ASSERT_TRUE(waitForUnits(4));
  const int before = count;
  orchestrator.requestKeyframe(3);
  ASSERT_TRUE(waitForUnits(2));
  const auto recorded = copy(units);
  EXPECT_EQ(copy(sizeChanges), (decltype(sizeChanges){{3, 232, 150}}));
  EXPECT_TRUE(!recorded[before - 1].keyframe &&
              std::any_of(recorded.begin() + before, recorded.end(),
                          [](const EncodedUnit& unit) { return unit.keyframe; }));
  expectPictures(3, 232, 150, 4, first, painted);

  window.reset();
  EXPECT_TRUE(waitFor([&] { return !orchestrator.isStreamActive(3); }));
  EXPECT_TRUE(orchestrator.getStreamResolution(3, w, h)) << "still held until update";
  orchestrator.update();
  EXPECT_FALSE(orchestrator.getStreamResolution(3, w, h));
}

// Settings reach the encoders made after them, not the running ones; a stream's own bitrate
// reaches its running encoder. Failed starts leave neither stream nor encoder session.
TEST_F(CaptureOrchestratorTest, SettingsReachTheEncodersAndFailedStartsLeaveNoStream) {
  orchestrator.setBitrate(8000, 12000);
  orchestrator.setFrameRate(60);
  orchestrator.setFullRangeColor(true);
  TestWindow window(96, 64);
  ASSERT_TRUE(orchestrator.startCapture(window.id(), 5));
  orchestrator.setBitrate(1000, 1000);
  orchestrator.setStreamBitrate(5, 3000, 4000);
  const auto* init = nvenc.call<const NV_ENC_INITIALIZE_PARAMS*>("LastInit");
  const auto& rc = init->encodeConfig->rcParams;
  const auto& h264 = init->encodeConfig->encodeCodecConfig.h264Config;
  const auto& re = nvenc.call<const NV_ENC_RECONFIGURE_PARAMS*>("LastReconfigure")->reInitEncodeParams;
  EXPECT_EQ(std::vector<uint64_t>(
                {init->encodeWidth, init->encodeHeight, init->frameRateNum, rc.averageBitRate, rc.maxBitRate,
                 h264.h264VUIParameters.videoFullRangeFlag, h264.idrPeriod, h264.sliceModeData,
                 re.encodeConfig->rcParams.averageBitRate, re.encodeConfig->rcParams.maxBitRate}),
            std::vector<uint64_t>({96, 64, 60, 8000000, 12000000, 1, 60, 4, 3000000, 4000000}));

  EXPECT_FALSE(orchestrator.startCapture(0x7ffffff0u, 5));  // a restart on a bad window ends the old one
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
  ASSERT_TRUE(waitFor([&] {
    orchestrator.update();
    return count >= 3;
  }));
}

// The runtime allows one encoder session: each restart must release the old one first.
TEST_F(CaptureOrchestratorTest, StopRestartAndShutdownWhileFramesFlow) {
  nvenc.call("MaxSessions", 1);
  TestWindow first(96, 64), second(128, 80);
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(orchestrator.startCapture((i % 2 == 0 ? first : second).id(), 8)) << i;
    ASSERT_TRUE(waitForUnits(1));
    if (i % 3 == 0) {
      std::thread other([&] { orchestrator.update(); });
      orchestrator.stopCapture(8);
      other.join();
    }
  }
  // No frame of the old window reached the new stream (it would count as a size change).
  EXPECT_TRUE(copy(sizeChanges).empty());
  ASSERT_TRUE(waitForUnits(2));
  orchestrator.shutdown();
  const int after = count;
  EXPECT_TRUE(waitFor([] { return StandinCaptureControl::runningWorkers() == 0; }));
  EXPECT_EQ(count, after);
}

// From inside a frame of stream 1, stream 2 and then stream 1 itself move to other windows,
// with no more encoder sessions allowed than streams; one of the new sizes needs padding.
TEST_F(CaptureOrchestratorTest, RestartsInsideAFrameReleaseTheOldEncoderFirst) {
  nvenc.call("MaxSessions", 2);
  TestWindow a(96, 64), b(128, 80), c(112, 48), d(66, 94);
  ASSERT_TRUE(orchestrator.startCapture(a.id(), 1));
  ASSERT_TRUE(orchestrator.startCapture(b.id(), 2));
  std::atomic<int> restarted{-1};
  size_t first = 0;
  onUnit = [&](uint8_t id) {
    if (id == 1 && restarted < 0) {
      first = copy(units).size();
      restarted = orchestrator.startCapture(c.id(), 2) + 2 * orchestrator.startCapture(d.id(), 1);
    }
  };
  ASSERT_TRUE(waitFor([&] { return restarted >= 0; }));
  EXPECT_EQ(restarted, 3);
  ASSERT_TRUE(waitFor([&] { return countOf(1, first) >= 3 && countOf(2, first) >= 3; }));
  for (auto [id, w, h] : {std::tuple{1, 66u, 94u}, std::tuple{2, 112u, 48u}}) {
    uint32_t width = 0, height = 0;
    EXPECT_TRUE(orchestrator.getStreamResolution(id, width, height) && orchestrator.isStreamActive(id));
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(w, h));
    expectPictures(id, w, h, 3, first);
  }
}

}  // namespace
