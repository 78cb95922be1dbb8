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

using namespace std::chrono_literals;

// Collects what the capture delivers, from the first sound (not digital silence) on.
struct Recorder {
  AudioCallback callback() {
    return [this](const int16_t* samples, uint32_t frames, uint32_t rate, uint32_t channels) {
      std::lock_guard lock(mutex);
      const int16_t* end = samples + static_cast<size_t>(frames) * channels;
      const int16_t* from = samples;
      if (pcm.empty()) {
        from = std::find_if(samples, end, [](int16_t s) { return s != 0; });
        from -= (from - samples) % channels;  // whole frames
      }
      pcm.insert(pcm.end(), from, end);
      otherFormat |= rate != 48000 || channels != 2;
      ++calls;
      changed.notify_all();
    };
  }

  // The sound once frames frames of it have arrived; empty if they did not come in time.
  std::vector<int16_t> sound(size_t frames) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 30s, [&] { return pcm.size() >= frames * 2; }) ? pcm
                                                                                 : std::vector<int16_t>{};
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int16_t> pcm;
  size_t calls = 0;
  bool otherFormat = false;
};

TEST(AudioCaptureTest, ToneArrivesAsSixteenBitPcmAndSurvivesOpus) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    AudioCapture capture;
    capture.stop();  // without start: nothing happens
    Recorder first, ignored, second;
    EXPECT_FALSE(capture.start(first.callback()));  // no device yet
    EXPECT_FALSE(capture.isRunning());

    ASSERT_TRUE(capture.initialize(AudioCaptureConfig{}));
    uint32_t rate = 0, channels = 0, bits = 0;
    capture.getFormat(rate, channels, bits);
    // The null sink runs at 48 kHz stereo, as the Opus encoder expects.
    ASSERT_EQ(std::tie(rate, channels, bits), std::tuple(48000u, 2u, 16u));

    ASSERT_TRUE(capture.start(first.callback()));
    EXPECT_TRUE(capture.isRunning());
    EXPECT_TRUE(capture.start(ignored.callback()));  // already running: keeps the first callback
    const std::vector<int16_t> sound = first.sound(48000);
    ASSERT_FALSE(sound.empty()) << "no sound arrived";
    EXPECT_NEAR(test::estimateFrequency(sound, 0), 1000.0, 10.0);
    EXPECT_NEAR(test::estimateFrequency(sound, 1), 1000.0, 10.0);
    const std::vector<int16_t> decoded = test::opusRoundTrip(sound);
    ASSERT_GE(decoded.size(), sound.size() / 2);
    EXPECT_NEAR(test::estimateFrequency(decoded, 0), 1000.0, 10.0);

    const auto before = std::chrono::steady_clock::now();
    capture.stop();
    // The loop wakes at once on a stop; a generous bound only catches a hang.
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_FALSE(capture.isRunning());
    EXPECT_FALSE(first.otherFormat);
    EXPECT_EQ(ignored.calls, 0u);
    const size_t callsAtStop = first.calls;

    // Started again, it delivers to the new callback only; the destructor stops it.
    ASSERT_TRUE(capture.start(second.callback()));
    EXPECT_NEAR(test::estimateFrequency(second.sound(9600), 0), 1000.0, 20.0);
    EXPECT_EQ(first.calls, callsAtStop);
  }
  CoUninitialize();
}

}  // namespace
}  // namespace quorvane::host
