#include "app/BitrateAdapter.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace quorvane::host {
namespace {

constexpr int64_t kSecond = 1000000000;

// A one-shot event between two threads.
class Signal {
 public:
  void set() {
    std::lock_guard<std::mutex> lock(mutex);
    raised = true;
    changed.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return raised; });
  }
  // Whether it was raised within the limit.
  bool waitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, limit, [this] { return raised; });
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  bool raised = false;
};

// How long a hand-over held inside the adapter gives the other path to overtake it. A
// correct adapter keeps the other path out all that time; an overtaking path gets
// through in microseconds.
constexpr std::chrono::milliseconds kOvertakeChance{500};

// An adapter on a clock the test moves by hand.
struct Adapter {
  int64_t now = 5 * kSecond;
  BitrateAdapter adapter{[this] { return now; }};

  // A record with that target as the ceiling.
  std::optional<BitrateAdapter::Decision> feed(uint16_t rtt, uint16_t decode, uint32_t target) {
    adapter.setTarget(target);
    return adapter.onFeedback(rtt, decode, {});
  }
  // Feeds a record a whole second after the last one; the new bitrate, or 0 for none.
  uint32_t feedAfterSecond(uint16_t rtt, uint16_t decode, uint32_t target) {
    now += kSecond;
    const auto decision = feed(rtt, decode, target);
    return decision ? decision->bitrateKbps : 0;
  }
};

TEST(BitrateAdapter, CongestionStepsDownToTheFloorAndHeadroomBackToTheTarget) {
  Adapter a;
  EXPECT_FALSE(a.feed(200, 50, 20000)) << "the first record only starts the clock";
  EXPECT_EQ(a.adapter.currentKbps(), 20000u);

  const std::vector<std::pair<uint32_t, uint32_t>> down = {
      {16000, 24000}, {12800, 19200}, {10240, 15360}, {8192, 12288}, {6553, 9829}, {5242, 7863},
      {4193, 6289},   {3354, 5031},   {2683, 4024},   {2146, 3219},  {2000, 3000}};
  for (const auto& [bitrate, maximum] : down) {
    a.now += kSecond;
    const auto decision = a.feed(60, 10, 20000);
    ASSERT_TRUE(decision);
    EXPECT_TRUE(decision->congestion);
    EXPECT_EQ(decision->bitrateKbps, bitrate);
    EXPECT_EQ(decision->maxBitrateKbps, maximum);
  }
  EXPECT_EQ(a.feedAfterSecond(60, 10, 20000), 0u) << "nothing below 2000 kbps";

  const std::vector<uint32_t> up = {2200,  2420,  2662,  2928,  3220,  3542,  3896, 4285,  4713,
                                    5184,  5702,  6272,  6899,  7588,  8346,  9180, 10098, 11107,
                                    12217, 13438, 14781, 16259, 17884, 19672, 20000};
  for (const uint32_t bitrate : up) {
    EXPECT_EQ(a.feedAfterSecond(10, 5, 20000), bitrate);
  }
  EXPECT_EQ(a.feedAfterSecond(10, 5, 20000), 0u) << "never above the target";
}

TEST(BitrateAdapter, DecidesAtMostOnceASecond) {
  Adapter a;
  a.feed(100, 40, 20000);
  int decisions = 0;
  for (int i = 1; i <= 25; ++i) {  // 2.5 s of records every 100 ms under congestion
    a.now += kSecond / 10;
    decisions += a.feed(100, 40, 20000) ? 1 : 0;
    if (i == 9) {
      EXPECT_EQ(decisions, 0) << "0.9 s after the first record";
    }
  }
  EXPECT_EQ(decisions, 2);
  EXPECT_EQ(a.adapter.currentKbps(), 12800u);
}

TEST(BitrateAdapter, ThresholdsAreStrictAndNoChangeLeavesTheClock) {
  struct Case {
    uint16_t rtt, decode;
    uint32_t expected;  // from 10000 kbps with a 20000 kbps target
  };
  const Case cases[] = {{50, 30, 0}, {51, 0, 8000}, {0, 31, 8000}, {20, 10, 0}, {19, 15, 0}, {19, 14, 11000}};
  for (const Case& c : cases) {
    Adapter a;
    a.feed(0, 0, 10000);  // starts at 10000
    EXPECT_EQ(a.feedAfterSecond(c.rtt, c.decode, 20000), c.expected)
        << c.rtt << " ms RTT, " << c.decode << " ms";
    if (c.expected == 0) {
      a.now += 1;  // no decision was taken, so the next record may decide at once
      EXPECT_EQ(a.feed(60, 10, 20000)->bitrateKbps, 8000u);
    }
  }
}

TEST(BitrateAdapter, CongestionNeverRaisesABitrateBelowTheFloor) {
  Adapter a;
  a.feed(0, 0, 1500);  // a target under 2000 kbps from the settings file
  EXPECT_EQ(a.feedAfterSecond(80, 40, 1500), 0u);
  EXPECT_EQ(a.adapter.currentKbps(), 1500u);
}

TEST(BitrateAdapter, ANewTargetFromAnotherThreadRestartsAdaptationAndKeepsTheDecisionTime) {
  Adapter a;
  a.feed(0, 0, 20000);
  a.now += kSecond / 2;
  std::thread([&] { a.adapter.retarget(30000, {}); }).join();
  EXPECT_FALSE(a.feed(60, 10, 30000)) << "still within the second";
  a.now += kSecond / 2;
  EXPECT_EQ(a.feed(60, 10, 30000)->bitrateKbps, 24000u);
}

// One path is held inside its hand-over to the encoders while the other path is called:
// the other must wait for it, and the encoders end on the value the adapter holds.
TEST(BitrateAdapter, FeedbackAndANewTargetReachTheEncodersOneAtATime) {
  for (const bool feedbackHeld : {true, false}) {
    SCOPED_TRACE(feedbackHeld ? "a decision on its way, then a new target"
                              : "a new target on its way, then feedback");
    Adapter a;
    a.feed(0, 0, 20000);
    a.now += kSecond;
    uint32_t encoders = 0;  // only the adapter's lock orders the hand-overs' writes
    Signal inHeld, otherCalled, otherHandedOver;
    bool overtaken = false;
    auto handOver = [&](bool held, uint32_t kbps) {
      if (held) {
        inHeld.set();
        otherCalled.wait();
        overtaken = otherHandedOver.waitFor(kOvertakeChance);
      }
      encoders = kbps;
      if (!held) otherHandedOver.set();
    };
    const std::function<void()> feedback = [&] {
      a.adapter.onFeedback(90, 10,
                           [&](const BitrateAdapter::Decision& d) { handOver(feedbackHeld, d.bitrateKbps); });
    };
    const std::function<void()> newTarget = [&] {
      a.adapter.retarget(8000, [&] { handOver(!feedbackHeld, 8000); });
    };

    std::thread heldPath(feedbackHeld ? feedback : newTarget);
    inHeld.wait();
    otherCalled.set();
    (feedbackHeld ? newTarget : feedback)();
    heldPath.join();

    EXPECT_FALSE(overtaken) << "both hand-overs were under way at once";
    // The user's 8000 after the decision, or a decision taken from 8000 (down to 6400) after it.
    const uint32_t last = feedbackHeld ? 8000 : 6400;
    EXPECT_EQ(encoders, last);
    EXPECT_EQ(a.adapter.currentKbps(), last);
  }
}

}  // namespace
}  // namespace quorvane::host
