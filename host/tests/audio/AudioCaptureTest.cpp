#include "audio/AudioCapture.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <tuple>
#include <vector>

#include "audio/ToneTools.h"

// Runs against the private PulseAudio server of the "pulse" fixture: a 1 kHz tone plays
// into its null sink, whose monitor is the default capture endpoint that the stand-in
// endpoint layer records.
namespace quorvane::host {
namespace {

// Collects what the capture delivers, from the first sound (not digital silence) on.
struct Recorder {
  AudioCallback callback() {
    return [this](const int16_t* samples, uint32_t frames, uint32_t rate, uint32_t channels) {
      std::lock_guard lock(mutex);
      const int16_t* end = samples + static_cast<size_t>(frames) * channels;
      const int16_t* from =
          pcm.empty() ? std::find_if(samples, end, [](int16_t s) { return s != 0; }) : samples;
      from -= (from - samples) % channels;  // whole frames
      pcm.insert(pcm.end(), from, end);
      otherFormat |= rate != 48000 || channels != 2;
      ++calls;
      changed.notify_all();
    };
  }
  // The frequency of each channel once `frames` frames of sound have arrived (0 if they did not).
  std::pair<double, double> frequencies(size_t frames) {
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(5), [&] { return pcm.size() >= frames * 2; })) return {};
    return {test::estimateFrequency(pcm, 0), test::estimateFrequency(pcm, 1)};
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int16_t> pcm;
  size_t calls = 0;
  bool otherFormat = false;
};

TEST(AudioCaptureTest, ToneArrivesAsSixteenBitPcmAtFortyEightKilohertz) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    AudioCapture capture;
    capture.stop();  // without start: nothing happens
    Recorder first, ignored, second;
    EXPECT_FALSE(capture.start(first.callback()));  // no device yet
    ASSERT_TRUE(capture.initialize(AudioCaptureConfig{}));
    uint32_t rate = 0, channels = 0, bits = 0;
    capture.getFormat(rate, channels, bits);
    ASSERT_EQ(std::tie(rate, channels, bits), std::tuple(48000u, 2u, 16u));  // as the Opus encoder expects

    ASSERT_TRUE(capture.start(first.callback()));
    EXPECT_TRUE(capture.isRunning());
    EXPECT_TRUE(capture.start(ignored.callback()));  // already running: keeps the first callback
    const auto [left, right] = first.frequencies(24000);
    EXPECT_NEAR(left, 1000.0, 10.0);
    EXPECT_NEAR(right, 1000.0, 10.0);
    capture.stop();
    EXPECT_FALSE(capture.isRunning());
    EXPECT_FALSE(first.otherFormat);
    EXPECT_EQ(ignored.calls, 0u);
    const size_t callsAtStop = first.calls;

    // Started again, it delivers to the new callback only; the destructor stops it.
    ASSERT_TRUE(capture.start(second.callback()));
    EXPECT_NEAR(second.frequencies(9600).first, 1000.0, 20.0);
    EXPECT_EQ(first.calls, callsAtStop);
  }
  CoUninitialize();
}

}  // namespace
}  // namespace quorvane::host
