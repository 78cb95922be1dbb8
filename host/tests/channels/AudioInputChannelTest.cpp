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

namespace {

void connectAudio(TcpAudioServer& server, TestClient& client, const LogCapture& log) {
  const size_t before = log.count("TCP audio client connected from 127.0.0.1");
  ASSERT_TRUE(client.connect(server.localPort()));
  ASSERT_TRUE(waitFor([&] { return log.count("TCP audio client connected from 127.0.0.1") > before; }));
}

}  // namespace

TEST(AudioChannel, FramingSequenceAndReplacement) {
  LogCapture log;
  TcpAudioServer server(0);
  ASSERT_TRUE(server.start());
  const std::vector<uint8_t> opus(100, 0x3C);
  server.sendAudioData(1, opus.data(), opus.size());  // no client: dropped, no number taken

  TestClient first;
  connectAudio(server, first, log);
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

  TestClient second;
  connectAudio(server, second, log);
  EXPECT_TRUE(log.contains("TCP audio: Closing previous client connection"));
  EXPECT_TRUE(first.waitClosed());
  server.sendAudioData(6, opus.data(), opus.size());
  const auto next = second.read(116);
  ASSERT_EQ(next.size(), 116u);
  EXPECT_EQ(u16(next, 8), 4);
  EXPECT_EQ(next[6], 6);
  server.stop();
  EXPECT_TRUE(second.waitClosed());
}

TEST(AudioChannel, GoneOrStalledClientIsDropped) {
  LogCapture log;
  TcpAudioServer server(0, std::chrono::milliseconds(300));
  ASSERT_TRUE(server.start());
  const std::vector<uint8_t> opus(4000, 0x11);

  // A client that stops reading: the writer returns within its bound and drops it.
  TestClient stalled;
  stalled.setReceiveBuffer(4096);
  connectAudio(server, stalled, log);
  for (int i = 0; i < 1000 && server.isClientConnected(); ++i)
    server.sendAudioData(1, opus.data(), opus.size());
  EXPECT_FALSE(server.isClientConnected());
  EXPECT_EQ(log.count("TCP audio send failed:"), 1u);

  // A client that goes away is noticed by a later write, once.
  TestClient gone;
  connectAudio(server, gone, log);
  gone.reset();
  for (int i = 0; i < 1000 && server.isClientConnected(); ++i) {
    server.sendAudioData(1, opus.data(), 10);
    std::this_thread::sleep_for(2ms);  // gives the reset time to arrive
  }
  EXPECT_FALSE(server.isClientConnected());
  EXPECT_EQ(log.count("TCP audio send failed:"), 2u);

  TestClient good;
  connectAudio(server, good, log);
  server.sendAudioData(2, opus.data(), 3);
  EXPECT_EQ(good.read(19).size(), 19u);
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

TEST_F(InputChannel, RecordsSplitTrailingShortAndEmpty) {
  TestClient client;
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
}

TEST_F(InputChannel, LimitReplacementAndBadClients) {
  TestClient first;
  ASSERT_TRUE(first.connect(server.localPort()));
  auto largest = kEvent;
  largest.resize(1024, 0);
  first.write(framed(largest));
  ASSERT_TRUE(events.waitForSize(1));
  first.write(concat({{0x01, 0x04, 0, 0}, kEvent}));  // 1025
  ASSERT_TRUE(logWait(log, "TCP input message too large: 1025 bytes"));

  TestClient second;
  ASSERT_TRUE(second.connect(server.localPort()));
  ASSERT_TRUE(logWait(log, "Closing existing TCP input client connection"));
  EXPECT_TRUE(first.waitClosed());
  second.write(framed(kEvent));
  ASSERT_TRUE(events.waitForSize(2));

  // Closing mid-record, then a flood of resets; a good client is still read.
  second.write({12, 0, 0, 0, 1, 2});
  second.reset();
  for (int i = 0; i < 100; ++i) {
    TestClient flood;
    ASSERT_TRUE(flood.connect(server.localPort()));
    flood.reset();
  }
  TestClient good;
  ASSERT_TRUE(good.connect(server.localPort()));
  good.write(framed(kEvent));
  ASSERT_TRUE(events.waitForSize(3));
  server.stop();
  EXPECT_TRUE(log.contains("TCP input server stopped"));
}
