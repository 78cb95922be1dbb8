#include "capture/CaptureOrchestrator.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "StandinCaptureControl.h"
#include "capture/CaptureTestSupport.h"
#include "encode/TestDecoder.h"

using quorvane::host::CaptureOrchestrator;
using quorvane::host::StandinCaptureControl;
using quorvane::test::LogCapture;
using quorvane::test::patternPixel;
using quorvane::test::TestDecoder;
using quorvane::test::TestWindow;
using quorvane::test::waitUntil;

namespace {

struct EncodedUnit {
  uint8_t streamId;
  std::vector<uint8_t> data;
  bool keyframe;
};

// Everything the orchestrator hands on.
struct Output {
  std::mutex mutex;
  std::vector<EncodedUnit> units;
  std::vector<std::tuple<uint8_t, uint32_t, uint32_t>> sizeChanges;
  size_t unitsBeforeSizeChange = 0;  // the new encoder's output starts here
  std::atomic<int> count{0};

  void attach(CaptureOrchestrator& orchestrator) {
    orchestrator.setFrameCallback([this](uint8_t id, const uint8_t* data, size_t size, bool keyframe) {
      std::lock_guard<std::mutex> lock(mutex);
      units.push_back({id, std::vector<uint8_t>(data, data + size), keyframe});
      ++count;
    });
    orchestrator.setResolutionChangedCallback([this](uint8_t id, uint32_t w, uint32_t h) {
      std::lock_guard<std::mutex> lock(mutex);
      sizeChanges.emplace_back(id, w, h);
      unitsBeforeSizeChange = units.size();
    });
  }
  std::vector<EncodedUnit> take(bool clear = false) {
    std::lock_guard<std::mutex> lock(mutex);
    return clear ? std::exchange(units, {}) : units;
  }
  size_t sizeChangeCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return sizeChanges.size();
  }
};

class CaptureOrchestratorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StandinCaptureControl::reset();
    ASSERT_TRUE(orchestrator.initialize());
    ASSERT_STREQ(orchestrator.getEncoderName(), "NVENC");
    // Wine names an old build; the device is made first, as it reads the real registry.
    build.emplace(std::wstring(L"19045"));
    ASSERT_TRUE(build->active());
    output.attach(orchestrator);
  }
  void TearDown() override {
    orchestrator.shutdown();
    StandinCaptureControl::reset();
    EXPECT_TRUE(waitUntil([] { return StandinCaptureControl::runningWorkers() == 0; }));
    build.reset();
  }
  LogCapture& logs() { return log; }

  // Decodes the stream's units from `first` on: each picture has the padded size, matches the
  // pattern (PSNR at least 35 dB) and has a black margin.
  void expectPictures(uint8_t streamId, uint32_t width, uint32_t height, int minimum, size_t first = 0) {
    TestDecoder decoder;
    int pictures = 0;
    const auto units = output.take();
    for (size_t i = first; i < units.size(); ++i) {
      std::vector<uint8_t> bgra;
      uint32_t w = 0, h = 0;
      if (units[i].streamId != streamId || !decoder.decode(units[i].data, bgra, w, h)) continue;
      ++pictures;
      ASSERT_EQ(w, (width + 15) & ~15u);
      ASSERT_EQ(h, (height + 15) & ~15u);
      double squared = 0;
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
          const uint8_t* got = &bgra[(static_cast<size_t>(y) * w + x) * 4];
          if (x >= width || y >= height) {
            ASSERT_LE(std::max({got[0], got[1], got[2]}), 24) << x << "," << y;
            continue;
          }
          const uint32_t expected = patternPixel(x, y, width, height);
          for (int c = 0; c < 3; ++c) {
            const double d = double(got[c]) - double((expected >> (8 * c)) & 0xff);
            squared += d * d;
          }
        }
      }
      const double mse = squared / (double(width) * height * 3);
      EXPECT_GE(mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse), 35.0) << "picture " << pictures;
    }
    EXPECT_GE(pictures, minimum);
  }

  LogCapture log;  // first: outlives the orchestrator
  std::optional<quorvane::test::ScopedBuildNumber> build;
  CaptureOrchestrator orchestrator;
  Output output;
};

TEST_F(CaptureOrchestratorTest, EncodesTheWindowPaddedWithAndWithoutSharpening) {
  struct Case {
    bool sharpen;
    int width, height;
    uint8_t stream;
  };
  // The last case's sides are already multiples of 16 and are encoded as they are.
  for (const Case& c : {Case{false, 200, 120, 1}, Case{true, 200, 120, 1}, Case{false, 192, 128, 2}}) {
    SCOPED_TRACE(fmt::format("{}x{} sharpen={}", c.width, c.height, c.sharpen));
    output.take(true);
    orchestrator.setSharpeningEnabled(c.sharpen);
    orchestrator.setSharpness(0.0f);
    TestWindow window(c.width, c.height);
    ASSERT_TRUE(orchestrator.startCapture(window.id(), c.stream));
    EXPECT_TRUE(
        logs().contains(fmt::format("Started capture for window {:x} on stream {} ({}x{})", window.id(),
                                    c.stream, (c.width + 15) & ~15, (c.height + 15) & ~15)));
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(orchestrator.getStreamResolution(c.stream, w, h));
    EXPECT_EQ(std::make_pair(w, h), std::make_pair(uint32_t(c.width), uint32_t(c.height)));
    const int before = output.count;
    ASSERT_TRUE(waitUntil([&] { return output.count >= before + 6; }));
    EXPECT_TRUE(orchestrator.getCodecHeaders(c.stream).valid);
    orchestrator.stopCapture(c.stream);
    EXPECT_TRUE(logs().contains(fmt::format("Stopped capture on stream {}", c.stream)));
    expectPictures(c.stream, c.width, c.height, 6);
  }

  EXPECT_FALSE(orchestrator.getCodecHeaders(9).valid);
  uint32_t w = 7, h = 7;
  EXPECT_FALSE(orchestrator.getStreamResolution(9, w, h));
  EXPECT_EQ(w, 7u);
  orchestrator.stopCapture(9);
  EXPECT_TRUE(logs().contains("Stream 9 not found"));
}

TEST_F(CaptureOrchestratorTest, ResizeRecreatesTheEncoderAndKeyframesComeOnRequest) {
  TestWindow window(200, 120);
  ASSERT_TRUE(orchestrator.startCapture(window.id(), 3));
  ASSERT_TRUE(waitUntil([&] { return output.count >= 3; }));

  window.resize(232, 150);
  ASSERT_TRUE(waitUntil([&] { return output.sizeChangeCount() > 0; }));
  size_t first = 0;
  {
    std::lock_guard<std::mutex> lock(output.mutex);
    ASSERT_EQ(output.sizeChanges.size(), 1u);
    EXPECT_EQ(output.sizeChanges[0], std::make_tuple(uint8_t{3}, 232u, 150u));
    first = output.unitsBeforeSizeChange;
  }
  EXPECT_TRUE(logs().contains("Resolution changed from 200x120 to 232x150 on stream 3 - recreating encoder"));
  EXPECT_TRUE(logs().contains("Encoder recreated successfully for 240x160 on stream 3"));
  EXPECT_EQ(logs().count("Recreating frame pool: 200x120 -> 232x150"), 1u);
  uint32_t w = 0, h = 0;
  ASSERT_TRUE(orchestrator.getStreamResolution(3, w, h));
  EXPECT_EQ(std::make_pair(w, h), std::make_pair(232u, 150u));

  // Frames after the first keyframe of the new encoder are P frames until one is asked for.
  ASSERT_TRUE(waitUntil([&] { return output.count >= static_cast<int>(first) + 5; }));
  {
    std::lock_guard<std::mutex> lock(output.mutex);
    EXPECT_TRUE(output.units[first].keyframe);
    EXPECT_FALSE(output.units.back().keyframe);
  }
  const int before = output.count;
  orchestrator.requestKeyframe(3);
  ASSERT_TRUE(waitUntil([&] { return output.count >= before + 2; }));
  orchestrator.stopCapture(3);
  const auto units = output.take();
  EXPECT_TRUE(std::any_of(units.end() - (output.count - before), units.end(), [](const EncodedUnit& unit) {
    const auto types = TestDecoder::nalTypes(unit.data);
    return unit.keyframe && std::find(types.begin(), types.end(), 5) != types.end();
  }));
  expectPictures(3, 232, 150, 4, first);
}

TEST_F(CaptureOrchestratorTest, ClosedWindowIsRemovedByUpdate) {
  auto window = std::make_unique<TestWindow>(160, 90);
  ASSERT_TRUE(orchestrator.startCapture(window->id(), 4));
  ASSERT_TRUE(waitUntil([&] { return output.count >= 1; }));
  window.reset();
  ASSERT_TRUE(waitUntil([&] {
    orchestrator.update();
    return logs().contains("Removing inactive session for stream 4");
  }));
  uint32_t w = 0, h = 0;
  EXPECT_FALSE(orchestrator.getStreamResolution(4, w, h));
}

TEST_F(CaptureOrchestratorTest, FailedStartsLogTheirCause) {
  TestWindow window(100, 60);
  ASSERT_TRUE(orchestrator.startCapture(window.id(), 5));
  // A restart with an invalid window removes the old stream and fails.
  EXPECT_FALSE(orchestrator.startCapture(0x7ffffff0u, 5));
  EXPECT_TRUE(logs().contains("Stream 5 already exists, stopping first"));
  EXPECT_TRUE(logs().contains("Invalid window handle: 7ffffff0"));
  uint32_t w = 0, h = 0;
  EXPECT_FALSE(orchestrator.getStreamResolution(5, w, h));

  StandinCaptureControl::setSupported(false);
  EXPECT_FALSE(orchestrator.startCapture(window.id(), 6));
  EXPECT_TRUE(logs().contains(fmt::format("Failed to initialize capture for window {:x}", window.id())));
  StandinCaptureControl::reset();

  StandinCaptureControl::failStep(StandinCaptureControl::Step::SetBorder, E_NOINTERFACE);
  EXPECT_FALSE(orchestrator.startCapture(window.id(), 6));
  EXPECT_TRUE(logs().contains("ROOT CAUSE: Windows Graphics Capture API blocked/unavailable"));
  EXPECT_TRUE(logs().contains(fmt::format("Failed to start capture for window {:x}", window.id())));
  EXPECT_FALSE(orchestrator.getStreamResolution(6, w, h));

  // A second initialisation and a shutdown of one never initialised are harmless.
  EXPECT_TRUE(orchestrator.initialize());
  EXPECT_TRUE(logs().contains("CaptureOrchestrator already initialized"));
  CaptureOrchestrator().shutdown();
}

// The host's own window: its thread runs update() every frame and does not pump messages
// while another thread starts a capture of it under the stream-table lock.
TEST_F(CaptureOrchestratorTest, CapturingAWindowOfTheUpdatingThreadDoesNotDeadlock) {
  TestWindow own(120, 80, L"Own window", /*onCallingThread=*/true);
  std::atomic<bool> done{false};
  std::atomic<bool> started{false};
  std::thread starter([&] {
    started = orchestrator.startCapture(own.id(), 7);
    done = true;
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done && std::chrono::steady_clock::now() < deadline) {
    orchestrator.update();
  }
  ASSERT_TRUE(done) << "start blocked on the window's thread";
  starter.join();
  EXPECT_TRUE(started);
  ASSERT_TRUE(waitUntil([&] {
    orchestrator.update();
    return output.count >= 3;
  }));
  orchestrator.stopCapture(7);
}

TEST_F(CaptureOrchestratorTest, StopRestartAndShutdownWhileFramesFlow) {
  TestWindow first(96, 64);
  TestWindow second(128, 80);
  for (int i = 0; i < 30; ++i) {
    const TestWindow& window = i % 2 == 0 ? first : second;
    ASSERT_TRUE(orchestrator.startCapture(window.id(), 8));
    const int before = output.count;
    ASSERT_TRUE(waitUntil([&] { return output.count > before; }));
    if (i % 3 == 0) {
      std::thread other([&] { orchestrator.update(); });
      orchestrator.stopCapture(8);
      other.join();
    }
  }
  // Restarting under the same id with another window never passed a frame of the old window
  // into the new stream (which would have counted as a size change).
  EXPECT_EQ(output.sizeChangeCount(), 0u);
  ASSERT_TRUE(orchestrator.startCapture(second.id(), 9));
  const int before = output.count;
  ASSERT_TRUE(waitUntil([&] { return output.count > before + 1; }));
  orchestrator.shutdown();
  const int after = output.count;
  EXPECT_TRUE(waitUntil([] { return StandinCaptureControl::runningWorkers() == 0; }));
  EXPECT_EQ(output.count, after);
  EXPECT_TRUE(logs().contains("Stopped all captures"));
}

}  // namespace
