#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/fmt/fmt.h>

#include "channels/ChannelTestSupport.h"
#include "network/TcpAudioServer.h"
#include "network/TcpInputServer.h"

using quorvane::host::InputEvent;
using quorvane::host::TcpAudioServer;
using quorvane::host::TcpInputServer;
using namespace quorvane::test;

TEST(AudioChannel, FramingSequenceReplacementAndStalledClient) {
  LogCapture log;
  TcpAudioServer server(0, 300ms);
  ASSERT_TRUE(server.start());
  const auto connect = [&](LoopbackClient& client) {
    ASSERT_TRUE(connectSeen(client, server.localPort(), log, "TCP audio client connected from 127.0.0.1"));
  };
  const std::vector<uint8_t> opus(100, 0x3C);
  server.sendAudioData(1, opus.data(), opus.size());  // no client: dropped, no number taken

  LoopbackClient first;
  connect(first);
  for (int i = 0; i < 4; ++i) server.sendAudioData(5, opus.data(), opus.size());
  const auto bytes = first.read(4 * 116);
  ASSERT_EQ(bytes.size(), 4u * 116);
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 12),
            (std::vector<uint8_t>{112, 0, 0, 0, 1, 2, 5, 0, 0, 0, 104, 0}));
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 16, bytes.begin() + 116), opus);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(u16(bytes, 116 * i + 8), i);
  EXPECT_LE(u32(bytes, 116 * 3 + 12) - u32(bytes, 12), 60000u);  // milliseconds, rising
  EXPECT_TRUE(
      log.contains("TCP Audio packet #0: length=112 (headerSize=12, dataSize=100), type=2, streamId=5, "
                   "payloadLength=104"));
  EXPECT_FALSE(log.contains("TCP Audio packet #3:"));

  // A newer client that stops reading replaces the first; the writer returns within its bound
  // and drops it.
  LoopbackClient stalled;
  stalled.setReceiveBuffer(4096);
  connect(stalled);
  EXPECT_TRUE(log.contains("TCP audio: Closing previous client connection"));
  EXPECT_TRUE(first.waitClosed());
  const std::vector<uint8_t> big(4000, 0x11);
  for (int i = 0; i < 1000 && server.isClientConnected(); ++i)
    server.sendAudioData(1, big.data(), big.size());
  EXPECT_FALSE(server.isClientConnected());
  EXPECT_EQ(log.count("TCP audio send failed:"), 1u);

  LoopbackClient good;
  connect(good);
  server.sendAudioData(2, opus.data(), 3);
  EXPECT_EQ(good.read(19).size(), 19u);
  server.stop();
  EXPECT_TRUE(good.waitClosed());
}

namespace {

class InputChannel : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.start());
    server.onInputEvent = [this](const InputEvent& event) { events.add(event); };
  }
  InputEvent at(size_t i) { return events.all().at(i); }

  LogCapture log;
  Recorded<InputEvent> events;
  TcpInputServer server{0};
};

// One InputEvent in its byte-packed layout: 16-bit fields at odd offsets.
const std::vector<uint8_t> kEvent{3, 2, 3, 0xE9, 0x00, 0x78, 0x56, 0x41, 0x03, 0x88, 0xFF, 0x77};

}  // namespace

TEST_F(InputChannel, RecordsSplitTrailingShortEmptyAndTooLarge) {
  LoopbackClient client;
  ASSERT_TRUE(client.connect(server.localPort()));
  auto withTrail = concat({kEvent, kEvent});  // the second event is ignored
  withTrail[12] = 9;
  const auto stream = concat({framed({}), framed(kEvent), framed({1, 2, 3}), framed(withTrail)});
  client.write(stream);
  ASSERT_TRUE(events.waitForSize(2));
  ASSERT_TRUE(logWait(log, "TCP input message too small: 3 bytes"));
  const InputEvent e = at(0);
  EXPECT_EQ(fmt::format("{} {} {} {} {} {} {} {}", +e.streamId, +e.type, +e.action, +e.x, +e.y, +e.code,
                        +e.modifiers, +e.wheelDelta),
            "3 2 3 233 22136 65 3 -120");
  EXPECT_EQ(at(1).streamId, 3);

  for (uint8_t byte : stream) client.write({byte});
  ASSERT_TRUE(events.waitForSize(4));
  const InputEvent split = at(2);
  EXPECT_EQ(std::memcmp(&split, kEvent.data(), 12), 0);

  auto largest = kEvent;
  largest.resize(1024, 0);
  client.write(concat({framed(largest), {0x01, 0x04, 0, 0}, kEvent}));  // then 1025 bytes
  ASSERT_TRUE(logWait(log, "TCP input message too large: 1025 bytes"));
  EXPECT_EQ(events.size(), 5u);
}
