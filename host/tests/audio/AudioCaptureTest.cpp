#include "audio/AudioCapture.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "StandinAudioControl.h"
#include "audio/ToneTools.h"
#include "support/LogCapture.h"
#include "support/WaitFor.h"

// Runs against the private PulseAudio server of the "pulse" fixture: a 1 kHz tone plays
// into its default sink, and its default source is a microphone that hears 440 Hz. The
// capture must hear the sink, as loopback capture hears what the PC plays.
// The later tests steer the stand-in endpoint layer: endpoints that go away, calls that
// fail, packets flagged silent.
namespace quorvane::host {
namespace {

using Call = StandinAudioControl::Call;
using LostStream = StandinAudioControl::LostStream;
using quorvane::test::waitFor;

// Generous for a loaded machine: reopening retries about once a second.
constexpr std::chrono::seconds kRetryWait{30};

// Every sample that a capture's callback received, from the capture thread.
class Recorder {
 public:
  AudioCallback callback() {
    return [this](const int16_t* data, uint32_t frames, uint32_t, uint32_t channels) {
      std::lock_guard lock(mutex);
      samples.insert(samples.end(), data, data + static_cast<size_t>(frames) * channels);
      received += frames;
    };
  }
  uint64_t frames() const {
    std::lock_guard lock(mutex);
    return received;
  }
  // Waits for `count` frames after the first `from`; the tone's frequency in them (0 if they did not come).
  double toneAfter(uint64_t from, uint64_t count) const {
    if (!waitFor([&] { return frames() >= from + count; }, kRetryWait)) return 0.0;
    std::lock_guard lock(mutex);
    return test::estimateFrequency(
        std::vector<int16_t>(samples.begin() + static_cast<ptrdiff_t>(from * 2), samples.end()), 0);
  }

 private:
  mutable std::mutex mutex;
  std::vector<int16_t> samples;  // stereo
  uint64_t received = 0;
};

// COM on the test's thread, a fresh stand-in layer and a capture that runs with a recorder.
class RunningCapture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    StandinAudioControl::reset();
  }
  void TearDown() override {
    capture.reset();
    StandinAudioControl::reset();
    CoUninitialize();
  }
  void start(bool hearTone = true) {
    capture = std::make_unique<AudioCapture>();
    ASSERT_TRUE(capture->initialize(AudioCaptureConfig{}));
    ASSERT_TRUE(capture->start(recorder.callback()));
    if (hearTone) {
      ASSERT_NEAR(recorder.toneAfter(0, 4800), 1000.0, 20.0);
    }
  }
  static StandinAudioControl::Counts counts() { return StandinAudioControl::counts(); }

  quorvane::test::LogCapture log;
  Recorder recorder;
  std::unique_ptr<AudioCapture> capture;
};

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

// An endpoint that goes away is opened again, at once or, while there is none or each new one
// goes away as well, about once a second; the same callback hears the tone again. A lost
// stream tells nobody: it signals no more, or goes on signalling with nothing to read, and only
// a call on its client reports the loss. Each loss leaves a few log lines, not one per wake-up.
// A stop ends the capture while it waits to retry.
TEST_F(RunningCapture, ALostEndpointIsOpenedAgainAndFeedsTheSameCallback) {
  ASSERT_NO_FATAL_FAILURE(start());
  enum class Then { Back, MissingForAWhile, LostAgainOnOpen };
  struct Loss {
    HRESULT code;
    LostStream stream;
    Then then;
    size_t warnings;  // lines at warning level or above
  };
  for (const Loss& loss :
       {Loss{AUDCLNT_E_DEVICE_INVALIDATED, LostStream::Silent, Then::MissingForAWhile, 3},
        Loss{AUDCLNT_E_DEVICE_INVALIDATED, LostStream::SignalsEmpty, Then::Back, 1},
        Loss{AUDCLNT_E_SERVICE_NOT_RUNNING, LostStream::Silent, Then::Back, 1},
        // The new client's first call reports the loss: "Failed to get mix
        // format", and the retries every second are quiet.
        Loss{AUDCLNT_E_DEVICE_INVALIDATED, LostStream::SignalsEmpty, Then::LostAgainOnOpen, 3}}) {
    const std::string lost = fmt::format("Audio device lost ({:#x})", static_cast<uint32_t>(loss.code));
    SCOPED_TRACE(fmt::format("{}, stream {}, then {}", lost, static_cast<int>(loss.stream),
                             static_cast<int>(loss.then)));
    log.clear();
    const auto before = counts();
    uint64_t opened = before.clientsOpened;  // the clients opened before the one that stays
    StandinAudioControl::setEndpointMissing(loss.then == Then::MissingForAWhile);
    StandinAudioControl::loseOpenClients(loss.code, loss.stream, loss.then == Then::LostAgainOnOpen);
    if (loss.then == Then::MissingForAWhile) {
      ASSERT_TRUE(
          waitFor([&] { return counts().endpointsRefused >= before.endpointsRefused + 3; }, kRetryWait));
      EXPECT_EQ(log.count("Failed to get default audio endpoint: 0x80070490"), 1u);
      EXPECT_EQ(log.countFrom(spdlog::level::warn), 3u);
      StandinAudioControl::setEndpointMissing(false);
    } else if (loss.then == Then::LostAgainOnOpen) {
      ASSERT_TRUE(waitFor([&] { return counts().clientsOpened >= before.clientsOpened + 3; }, kRetryWait));
      EXPECT_EQ(log.count(lost), 1u) << "one loss until a packet comes through";
      EXPECT_EQ(log.count("Failed to get mix format: 0x88890004"), 1u);
      opened = counts().clientsOpened;
      StandinAudioControl::loseOpenClients(loss.code, loss.stream);
    }
    ASSERT_TRUE(waitFor([&] { return counts().clientsOpened > opened; }, kRetryWait));
    EXPECT_NEAR(recorder.toneAfter(recorder.frames(), 9600), 1000.0, 20.0);
    if (loss.then != Then::LostAgainOnOpen) {
      EXPECT_EQ(counts().clientsOpened, before.clientsOpened + 1);
    }
    EXPECT_EQ(log.count(lost), 1u);
    EXPECT_TRUE(log.contains("Audio capture reopened: "));
    EXPECT_EQ(log.countFrom(spdlog::level::warn), loss.warnings);
  }

  const auto before = counts();
  StandinAudioControl::setEndpointMissing(true);
  StandinAudioControl::loseOpenClients(AUDCLNT_E_DEVICE_INVALIDATED, LostStream::Silent);
  ASSERT_TRUE(waitFor([&] { return counts().endpointsRefused >= before.endpointsRefused + 2; }, kRetryWait));
  capture->stop();
  EXPECT_FALSE(capture->isRunning());
  EXPECT_TRUE(log.contains("Audio capture stopped"));
}

// A call that keeps failing for another reason is logged once, and once a packet goes through
// again, with how often it failed; the capture keeps its client.
TEST_F(RunningCapture, ACallThatKeepsFailingIsLoggedOnce) {
  ASSERT_NO_FATAL_FAILURE(start());
  for (const auto& [call, line] : {std::pair(Call::GetBuffer, "GetBuffer failed: 0x80004005"),
                                   std::pair(Call::ReleaseBuffer, "ReleaseBuffer failed: 0x80004005")}) {
    SCOPED_TRACE(line);
    log.clear();
    const auto before = counts();
    StandinAudioControl::failCalls(call, E_FAIL, -1);
    ASSERT_TRUE(waitFor([&] { return counts().failedCalls >= before.failedCalls + 30; }, kRetryWait));
    StandinAudioControl::failCalls(call, E_FAIL, 0);
    const uint64_t frames = recorder.frames();
    EXPECT_TRUE(waitFor([&] { return recorder.frames() >= frames + 4800; }, kRetryWait));
    EXPECT_EQ(log.count(line), 1u);
    EXPECT_TRUE(log.contains("Audio capture recovered after "));
    EXPECT_EQ(log.countFrom(spdlog::level::warn), 2u);
    EXPECT_EQ(counts().clientsOpened, before.clientsOpened);
  }
}

// A packet flagged silent holds no samples worth sending: only the others reach the callback.
TEST_F(RunningCapture, PacketsFlaggedSilentNeverReachTheCallback) {
  StandinAudioControl::flagSilent(2);
  ASSERT_NO_FATAL_FAILURE(start(false));
  ASSERT_TRUE(
      waitFor([&] { return counts().silentFrames >= 9600 && counts().soundFrames >= 9600; }, kRetryWait));
  capture->stop();
  EXPECT_EQ(recorder.frames(), counts().soundFrames);
}

}  // namespace
}  // namespace quorvane::host
