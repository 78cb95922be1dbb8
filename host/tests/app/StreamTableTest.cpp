#include "app/StreamTable.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace quorvane::host {
namespace {

constexpr auto kClient = StreamOrigin::Client;
constexpr auto kWindow = StreamOrigin::ControlWindow;

struct Table {
  std::string busy;  // one letter per call: B boosted, N back to normal
  StreamTable table{[this](bool b) { busy += b ? "B" : "N"; }};
};

TEST(StreamTable, CountsEachRunningStreamOnceAndNeverLetsTheOtherOriginTakeItOver) {
  Table t;
  t.table.stopped(9, kClient);  // a stop of nothing counts nothing down
  ASSERT_TRUE(t.table.started(1, kClient, 0x100, false));
  ASSERT_TRUE(t.table.started(2, kWindow, 0x200, false));
  EXPECT_TRUE(t.table.started(1, kClient, 0x300, false)) << "a restart under the same id";
  EXPECT_FALSE(t.table.started(1, kWindow, 0x400, false)) << "the client's stream";
  EXPECT_FALSE(t.table.started(2, kClient, 0x400, false)) << "the control window's stream";
  EXPECT_FALSE(t.table.stopped(1, kWindow));
  EXPECT_FALSE(t.table.stopped(2, kClient));
  EXPECT_EQ(t.table.windowOf(1), 0x300u);
  EXPECT_EQ(t.table.clientStreamIds(), std::vector<uint8_t>{1});
  EXPECT_EQ(t.table.runningCount(), 2u);

  EXPECT_TRUE(t.table.stopped(1, kClient));
  EXPECT_FALSE(t.table.stopped(1, kClient)) << "a repeated stop";
  EXPECT_TRUE(t.table.stopped(2, kWindow));
  t.table.started(3, kWindow, 0x500, false);
  t.table.stopped(3, kWindow);
  EXPECT_EQ(t.busy, "BNBN");
}

TEST(StreamTable, AudioFollowsTheFirstStreamStartedWhileAudioRuns) {
  Table t;
  t.table.started(4, kClient, 1, false);
  EXPECT_FALSE(t.table.audioBound()) << "audio was not running";
  t.table.started(5, kWindow, 2, true);
  t.table.started(6, kClient, 3, true);
  EXPECT_EQ(t.table.audioStreamId(), 5);
  t.table.stopped(6, kClient);
  EXPECT_TRUE(t.table.audioBound());
  t.table.stopped(5, kWindow);
  EXPECT_FALSE(t.table.audioBound());
  t.table.started(7, kClient, 4, true);
  EXPECT_EQ(t.table.audioStreamId(), 7);
  t.table.endAll();
  EXPECT_FALSE(t.table.audioBound());
}

TEST(StreamTable, ConfigurationIsPendingOncePerEncoderAndAfterEachSizeChange) {
  Table t;
  t.table.started(1, kClient, 0xabc, false);
  auto pending = t.table.pendingConfig(1);
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->windowId, 0xabcu);
  t.table.configSent(1, pending->ticket);
  EXPECT_FALSE(t.table.pendingConfig(1));

  t.table.resolutionChanged(1);
  pending = t.table.pendingConfig(1);
  t.table.started(1, kClient, 0xdef, false);  // restarted before the old ticket came back
  t.table.configSent(1, pending->ticket);
  EXPECT_EQ(t.table.pendingConfig(1)->windowId, 0xdefu);

  t.table.started(2, kWindow, 0x123, false);
  EXPECT_FALSE(t.table.pendingConfig(2)) << "control-window streams get none until a size change";
  t.table.resolutionChanged(2);
  EXPECT_EQ(t.table.pendingConfig(2)->windowId, 0u);
  t.table.stopped(1, kClient);
  EXPECT_FALSE(t.table.pendingConfig(1));
}

TEST(StreamTable, EverySizeChangeAfterTheFirstConfigurationAsksForAnotherOne) {
  Table t;
  t.table.started(1, kClient, 0xabc, false);
  t.table.started(2, kWindow, 0x123, false);
  t.table.resolutionChanged(2);
  for (const uint8_t id : {1, 2}) {
    const uint32_t window = id == 1 ? 0xabc : 0;
    std::vector<uint64_t> tickets;
    for (int change = 0; change < 3; ++change) {
      const auto pending = t.table.pendingConfig(id);
      ASSERT_TRUE(pending) << "stream " << int{id} << ", size change " << change;
      EXPECT_EQ(pending->windowId, window);
      tickets.push_back(pending->ticket);
      t.table.configSent(id, pending->ticket);
      EXPECT_FALSE(t.table.pendingConfig(id));
      t.table.resolutionChanged(id);
    }
    // Two changes before the configuration of the first went out: its ticket is stale.
    const auto first = t.table.pendingConfig(id);
    t.table.resolutionChanged(id);
    const auto second = t.table.pendingConfig(id);
    ASSERT_TRUE(first && second);
    tickets.push_back(first->ticket);
    tickets.push_back(second->ticket);
    t.table.configSent(id, first->ticket);
    EXPECT_TRUE(t.table.pendingConfig(id)) << "the size sent was not the latest";
    t.table.configSent(id, second->ticket);
    EXPECT_FALSE(t.table.pendingConfig(id));
    std::sort(tickets.begin(), tickets.end());
    EXPECT_EQ(std::unique(tickets.begin(), tickets.end()), tickets.end()) << "a new ticket each time";
  }
}

TEST(StreamTable, ARefusedStopLeavesTheOtherOriginsStreamAsItWas) {
  Table t;
  t.table.started(1, kClient, 0xabc, true);
  t.table.started(2, kWindow, 0x123, false);
  t.table.resolutionChanged(2);  // the control window's stream waits for its configuration
  const auto pending = t.table.pendingConfig(2);
  ASSERT_TRUE(pending);

  EXPECT_FALSE(t.table.stopped(2, kClient));
  EXPECT_FALSE(t.table.stopped(1, kWindow));
  const auto after = t.table.pendingConfig(2);
  ASSERT_TRUE(after) << "the client's stop took the control window's configuration";
  EXPECT_EQ(after->ticket, pending->ticket);
  EXPECT_EQ(t.table.windowOf(1), 0xabcu);
  EXPECT_TRUE(t.table.pendingConfig(1));
  EXPECT_TRUE(t.table.audioBound());
  EXPECT_EQ(t.table.runningCount(), 2u);

  // Shutting down ends everything once; later stops count nothing.
  t.table.endAll();
  EXPECT_EQ(t.table.runningCount(), 0u);
  EXPECT_FALSE(t.table.audioBound());
  EXPECT_TRUE(t.table.clientStreamIds().empty());
  EXPECT_FALSE(t.table.pendingConfig(2));
  EXPECT_FALSE(t.table.stopped(1, kClient));
  t.table.endAll();
  t.table.started(3, kWindow, 0x456, false);
  EXPECT_EQ(t.busy, "BNB");
}

TEST(StreamTable, StartsAndStopsOnTwoThreadsKeepThePriorityInStep) {
  std::atomic<int> level{0};
  StreamTable table([&](bool busy) { EXPECT_EQ(level += busy ? 1 : -1, busy ? 1 : 0); });
  std::vector<std::thread> workers;
  for (const auto origin : {kClient, kWindow}) {
    workers.emplace_back([&table, origin] {
      const uint8_t id = origin == kClient ? 10 : 11;
      for (int i = 0; i < 2000; ++i) {
        table.started(id, origin, 1, true);
        (void)table.audioStreamId();
        table.stopped(id, origin);
        table.stopped(id, origin);
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(level.load(), 0);
  EXPECT_FALSE(table.audioBound());
}

}  // namespace
}  // namespace quorvane::host
