#include "app/StreamTable.h"

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

TEST(StreamTable, PriorityFollowsTheRunningStreamsExactlyOnce) {
  Table t;
  t.table.stopped(9, kClient);  // a stop of nothing counts nothing down
  t.table.started(1, kClient, 0x100, false);
  t.table.started(2, kWindow, 0x200, false);
  t.table.started(1, kClient, 0x300, false);  // restart under the same id
  EXPECT_EQ(t.table.runningCount(), 2u);
  EXPECT_TRUE(t.table.stopped(1, kClient));
  EXPECT_FALSE(t.table.stopped(1, kClient)) << "a repeated stop";
  t.table.ended(2);  // its window closed
  EXPECT_FALSE(t.table.stopped(2, kWindow)) << "already ended";
  t.table.started(3, kWindow, 0x400, false);
  t.table.stopped(3, kWindow);
  EXPECT_EQ(t.busy, "BNBN");
  EXPECT_EQ(t.table.runningCount(), 0u);
}

TEST(StreamTable, AStreamOfOneOriginIsNeverTakenOverOrStoppedByTheOther) {
  Table t;
  ASSERT_TRUE(t.table.started(1, kClient, 0x100, false));
  EXPECT_TRUE(t.table.heldByOther(1, kWindow));
  EXPECT_FALSE(t.table.heldByOther(1, kClient));
  EXPECT_FALSE(t.table.started(1, kWindow, 0x200, false));
  EXPECT_FALSE(t.table.stopped(1, kWindow));
  EXPECT_EQ(t.table.windowOf(1), 0x100u);
  EXPECT_EQ(t.table.runningCount(), 1u);

  ASSERT_TRUE(t.table.started(2, kWindow, 0x200, false));
  EXPECT_FALSE(t.table.started(2, kClient, 0x300, false));
  EXPECT_FALSE(t.table.stopped(2, kClient));
  EXPECT_EQ(t.table.runningCount(), 2u);
  EXPECT_EQ(t.table.clientStreamIds(), std::vector<uint8_t>{1});
}

TEST(StreamTable, AudioFollowsTheFirstStreamStartedWhileAudioRuns) {
  Table t;
  t.table.started(4, kClient, 1, false);
  EXPECT_FALSE(t.table.audioBound()) << "audio was not running";
  t.table.started(5, kWindow, 2, true);
  t.table.started(6, kClient, 3, true);
  EXPECT_TRUE(t.table.audioBound());
  EXPECT_EQ(t.table.audioStreamId(), 5);
  t.table.stopped(6, kClient);
  EXPECT_TRUE(t.table.audioBound());
  t.table.stopped(5, kWindow);
  EXPECT_FALSE(t.table.audioBound());
  t.table.started(7, kClient, 4, true);
  EXPECT_EQ(t.table.audioStreamId(), 7);
  t.table.ended(7);
  EXPECT_FALSE(t.table.audioBound());
}

TEST(StreamTable, ConfigurationIsPendingOncePerEncoderAndAfterEachSizeChange) {
  Table t;
  EXPECT_FALSE(t.table.pendingConfig(1));
  t.table.started(1, kClient, 0xabc, false);
  auto pending = t.table.pendingConfig(1);
  ASSERT_TRUE(pending);
  EXPECT_EQ(pending->windowId, 0xabcu);
  t.table.configSent(1, pending->ticket);
  EXPECT_FALSE(t.table.pendingConfig(1));

  t.table.resolutionChanged(1);
  pending = t.table.pendingConfig(1);
  ASSERT_TRUE(pending);
  t.table.started(1, kClient, 0xdef, false);  // restarted before the old ticket came back
  t.table.configSent(1, pending->ticket);
  ASSERT_TRUE(t.table.pendingConfig(1));
  EXPECT_EQ(t.table.pendingConfig(1)->windowId, 0xdefu);

  t.table.started(2, kWindow, 0x123, false);
  EXPECT_FALSE(t.table.pendingConfig(2)) << "control-window streams get none until a size change";
  t.table.resolutionChanged(2);
  EXPECT_EQ(t.table.pendingConfig(2)->windowId, 0u);

  t.table.stopped(1, kClient);
  EXPECT_FALSE(t.table.pendingConfig(1));
  EXPECT_FALSE(t.table.windowOf(1));
}

TEST(StreamTable, ConcurrentStartsAndStopsKeepTheCountAndPriorityConsistent) {
  std::atomic<int> boosts{0};
  std::atomic<int> level{0};
  StreamTable table([&](bool busy) {
    boosts += busy ? 1 : 0;
    level += busy ? 1 : -1;
    EXPECT_GE(level.load(), 0);
    EXPECT_LE(level.load(), 1);
  });
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      if (table.audioBound()) (void)table.audioStreamId();
      (void)table.pendingConfig(1);
    }
  });
  std::vector<std::thread> workers;
  for (int w = 0; w < 2; ++w) {
    workers.emplace_back([&table, w] {
      const auto origin = w == 0 ? kClient : kWindow;
      const uint8_t id = static_cast<uint8_t>(10 + w);
      for (int i = 0; i < 2000; ++i) {
        table.started(id, origin, 1, true);
        table.stopped(id, origin);
        table.stopped(id, origin);
      }
    });
  }
  for (auto& w : workers) w.join();
  done = true;
  reader.join();
  EXPECT_EQ(table.runningCount(), 0u);
  EXPECT_EQ(level.load(), 0);
  EXPECT_GT(boosts.load(), 0);
  EXPECT_FALSE(table.audioBound());
}

}  // namespace
}  // namespace quorvane::host
