#include "audio/AudioCapture.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/LogCapture.h"
#include "audio/OpusRoundTrip.h"
#include "audio/ToneAnalysis.h"

// Runs against the private PulseAudio server of the "pulse" fixture: a 1 kHz tone plays
// into its null sink, whose monitor is the default capture endpoint that the stand-in
// endpoint layer records.
namespace quorvane::host {
namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 30s;

// Collects what the capture delivers and lets the test wait for an amount of it.
class Recorder {
 public:
  AudioCallback callback() {
    return [this](const int16_t* samples, uint32_t frames, uint32_t rate, uint32_t channels) {
      std::lock_guard lock(mutex);
      pcm.insert(pcm.end(), samples, samples + static_cast<size_t>(frames) * channels);
      this->rate = rate;
      this->channels = channels;
      ++calls;
      changed.notify_all();
    };
  }

  // Waits until frames frames of sound (not digital silence) have arrived.
  bool waitForSound(size_t frames) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kDeadline, [&] {
      if (channels == 0) return false;
      size_t sounding = 0;
      for (size_t i = firstSound(); i < pcm.size(); ++i) ++sounding;
      return sounding / channels >= frames;
    });
  }

  // The samples from the first non-zero one on, whole frames only.
  std::vector<int16_t> sound() {
    std::lock_guard lock(mutex);
    size_t from = firstSound();
    from -= from % channels;
    return std::vector<int16_t>(pcm.begin() + static_cast<long>(from), pcm.end());
  }

  size_t callCount() {
    std::lock_guard lock(mutex);
    return calls;
  }

  // Rate and channel count of the last delivery.
  std::pair<uint32_t, uint32_t> format() {
    std::lock_guard lock(mutex);
    return {rate, channels};
  }

 private:
  size_t firstSound() const {
    for (size_t i = 0; i < pcm.size(); ++i) {
      if (pcm[i] != 0) return i;
    }
    return pcm.size();
  }

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<int16_t> pcm;
  size_t calls = 0;
  uint32_t rate = 0;
  uint32_t channels = 0;
};

class AudioCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override { CoUninitialize(); }

  size_t countLogged(const std::string& text) const { return log.count(text); }

  quorvane::test::LogCapture log;
};

TEST_F(AudioCaptureTest, ToneArrivesAsSixteenBitPcmAndSurvivesOpus) {
  AudioCapture capture;
  uint32_t rate = 0, channels = 0, bits = 0;
  capture.getFormat(rate, channels, bits);
  EXPECT_EQ(rate, 48000u);
  EXPECT_EQ(channels, 2u);
  EXPECT_EQ(bits, 16u);
  capture.stop();  // without start: nothing happens
  EXPECT_EQ(countLogged("Audio capture stopped"), 0u);

  ASSERT_TRUE(capture.initialize(AudioCaptureConfig{}));
  EXPECT_EQ(countLogged("Audio capture initialized: "), 1u);
  capture.getFormat(rate, channels, bits);
  EXPECT_EQ(bits, 16u);
  // The null sink runs at 48 kHz stereo, as the Opus encoder expects.
  ASSERT_EQ(rate, 48000u);
  ASSERT_EQ(channels, 2u);

  Recorder first;
  ASSERT_TRUE(capture.start(first.callback()));
  EXPECT_TRUE(capture.isRunning());
  Recorder ignored;
  EXPECT_TRUE(capture.start(ignored.callback()));
  EXPECT_EQ(countLogged("Audio capture already started"), 1u);

  ASSERT_TRUE(first.waitForSound(48000));
  EXPECT_EQ(first.format(), std::make_pair(rate, channels));
  const std::vector<int16_t> sound = first.sound();
  EXPECT_NEAR(test::estimateFrequency(sound, 2, 0, 48000.0), 1000.0, 10.0);
  EXPECT_NEAR(test::estimateFrequency(sound, 2, 1, 48000.0), 1000.0, 10.0);
  EXPECT_GT(test::rms(sound, 2, 0), 0.02);

  const std::vector<int16_t> decoded = test::opusRoundTrip(sound);
  ASSERT_GE(decoded.size(), sound.size() / 2);
  EXPECT_NEAR(test::estimateFrequency(decoded, 2, 0, 48000.0), 1000.0, 10.0);

  const auto before = std::chrono::steady_clock::now();
  capture.stop();
  // The loop wakes at once on a stop; a generous bound only catches a hang.
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  EXPECT_FALSE(capture.isRunning());
  EXPECT_EQ(countLogged("Audio capture stopped"), 1u);
  EXPECT_EQ(ignored.callCount(), 0u);
  const size_t callsAtStop = first.callCount();

  // Started again, it delivers to the new callback only.
  Recorder second;
  ASSERT_TRUE(capture.start(second.callback()));
  ASSERT_TRUE(second.waitForSound(9600));
  EXPECT_NEAR(test::estimateFrequency(second.sound(), 2, 0, 48000.0), 1000.0, 20.0);
  EXPECT_EQ(first.callCount(), callsAtStop);
  // The destructor stops a running capture.
}

TEST_F(AudioCaptureTest, StartWithoutDeviceFails) {
  AudioCapture capture;
  Recorder recorder;
  EXPECT_FALSE(capture.start(recorder.callback()));
  EXPECT_FALSE(capture.isRunning());
}

}  // namespace
}  // namespace quorvane::host
