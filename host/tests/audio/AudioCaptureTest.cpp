#include "audio/AudioCapture.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <mutex>
#include <vector>

#include "audio/ToneTools.h"
#include "support/WaitFor.h"

// Runs against the private PulseAudio server of the "pulse" fixture: a 1 kHz tone plays
// into its default sink, and its default source is a microphone that hears 440 Hz. The
// capture must hear the sink, as loopback capture hears what the PC plays.
namespace quorvane::host {
namespace {

TEST(AudioCaptureTest, ToneArrivesAsSixteenBitPcmAtFortyEightKilohertz) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  std::mutex mutex;
  std::vector<int16_t> received[2];  // by the first and the second callback
  const auto recorder = [&](int n) -> AudioCallback {
    return [&, n](const int16_t* samples, uint32_t frames, uint32_t, uint32_t channels) {
      std::lock_guard lock(mutex);
      received[n].insert(received[n].end(), samples, samples + static_cast<size_t>(frames) * channels);
    };
  };
  // The frequency in each channel once `frames` frames have arrived (0 if they did not).
  const auto heard = [&](int n, size_t frames) {
    const bool arrived = quorvane::test::waitFor([&] {
      std::lock_guard lock(mutex);
      return received[n].size() >= frames * 2;
    });
    std::lock_guard lock(mutex);
    return std::pair(arrived ? test::estimateFrequency(received[n], 0) : 0.0,
                     arrived ? test::estimateFrequency(received[n], 1) : 0.0);
  };
  {
    AudioCapture capture;
    capture.stop();                            // without start: nothing happens
    EXPECT_FALSE(capture.start(recorder(0)));  // no device yet
    ASSERT_TRUE(capture.initialize(AudioCaptureConfig{}));
    ASSERT_TRUE(capture.start(recorder(0)));
    EXPECT_TRUE(capture.start(recorder(1)));  // already running: keeps the first callback
    const auto [left, right] = heard(0, 24000);
    EXPECT_NEAR(left, 1000.0, 10.0);
    EXPECT_NEAR(right, 1000.0, 10.0);
    capture.stop();
    EXPECT_FALSE(capture.isRunning());
    EXPECT_TRUE(received[1].empty());
    const size_t atStop = received[0].size();

    // Started again, it delivers to the new callback only; the destructor stops it.
    ASSERT_TRUE(capture.start(recorder(1)));
    EXPECT_NEAR(heard(1, 9600).first, 1000.0, 20.0);
    EXPECT_EQ(received[0].size(), atStop);
  }
  CoUninitialize();
}

}  // namespace
}  // namespace quorvane::host
