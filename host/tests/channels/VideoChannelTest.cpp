#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/fmt/fmt.h>

#include "channels/ChannelTestSupport.h"
#include "network/TcpTransportServer.h"

using quorvane::host::ClientFeedback;
using quorvane::host::ClientInput;
using quorvane::host::TcpTransportServer;
using namespace quorvane::test;

namespace {

class VideoChannel : public ::testing::Test {
 protected:
  void SetUp() override { startServer(TcpTransportServer::kSendTimeout); }

  void startServer(std::chrono::milliseconds sendTimeout) {
    server = std::make_unique<TcpTransportServer>(0, sendTimeout);
    ASSERT_TRUE(server->start());
    server->onKeyframeRequest = [this](uint8_t id) { received.add("key " + std::to_string(id)); };
    server->setClientInputCallback([this](const ClientInput& in) {
      received.add(fmt::format("input {} {} {} {} {} {} {} {}", in.streamId, in.type, in.action, in.x, in.y,
                               in.code, in.modifiers, in.wheelDelta));
    });
    server->setClientFeedbackCallback([this](const ClientFeedback& fb) {
      received.add(fmt::format("feedback {} {}", fb.decodeTimeMs, fb.rttMs));
    });
  }

  void connect(LoopbackClient& client) {
    ASSERT_TRUE(connectSeen(client, server->localPort(), log, "TCP client connected from 127.0.0.1"));
  }

  // Sends one frame and reads its packet back.
  std::vector<uint8_t> roundTrip(LoopbackClient& client, uint8_t stream, const std::vector<uint8_t>& unit) {
    server->sendVideoFrame(stream, unit.data(), unit.size(), false);
    return client.read(20 + unit.size());
  }

  // A new client gets frames and has its records read; its request arriving shows that it is
  // the current client, whatever connected before.
  void expectServesGoodClient() {
    LoopbackClient good;
    ASSERT_TRUE(good.connect(server->localPort()));
    const size_t before = received.size();
    good.write(framed({16, 42}));
    ASSERT_TRUE(received.waitForSize(before + 1));
    EXPECT_EQ(received.all().back(), "key 42");
    EXPECT_EQ(u32(roundTrip(good, 2, {1, 2, 3}), 0), 19u);
  }

  LogCapture log;
  Recorded<std::string> received;
  std::unique_ptr<TcpTransportServer> server;
};

// Body bytes of a ClientInput record: type byte 3, then the naturally aligned layout.
const std::vector<uint8_t> kInputBody{3, 7, 1, 4, 0xAA, 0x34, 0x12, 0x78, 0x56, 2, 5, 0x88, 0xFF};
const std::vector<uint8_t> kFeedbackBody{4, 1, 2, 3, 4, 5, 6, 7, 8, 12, 0, 0x2C, 0x01};
const char* kInputEvent = "input 7 1 4 4660 22136 2 5 -120";

}  // namespace

TEST_F(VideoChannel, PacketBytesLengthsAndSequence) {
  const std::vector<uint8_t> unit{0xA0, 0xA1, 0xA2, 0xA3, 0xA4};
  server->sendVideoFrame(1, unit.data(), unit.size(), true);  // no client: dropped, no number taken

  LoopbackClient client;
  connect(client);
  const uint32_t before = TcpTransportServer::videoTimestamp90k();
  server->sendVideoFrame(7, unit.data(), unit.size(), true);
  auto p = client.read(25);
  const uint32_t after = TcpTransportServer::videoTimestamp90k();
  ASSERT_EQ(p.size(), 25u);
  EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 12),
            (std::vector<uint8_t>{21, 0, 0, 0, 1, 1, 7, 1, 0, 0, 13, 0}));
  EXPECT_LE(u32(p, 12) - before, after - before);
  EXPECT_EQ(std::vector<uint8_t>(p.begin() + 16, p.end()),
            (std::vector<uint8_t>{1, 0, 1, 0, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));

  // Total length, sequence, payload length (65527 bytes make exactly 65535, beyond that it
  // saturates while the prefix keeps counting) and the key flag.
  const struct {
    size_t size;
    uint32_t length;
    uint16_t sequence, payloadLength;
  } cases[] = {{65527, 65543, 1, 65535}, {200000, 200016, 2, 65535}, {0, 16, 3, 8}};
  for (const auto& c : cases) {
    p = roundTrip(client, 9, std::vector<uint8_t>(c.size, 0x5A));
    ASSERT_EQ(p.size(), 20 + c.size);
    EXPECT_EQ(u32(p, 0), c.length);
    EXPECT_EQ(u16(p, 8), c.sequence);
    EXPECT_EQ(u16(p, 10), c.payloadLength);
    EXPECT_EQ(p[16], 3);  // not a keyframe
  }

  // The counter runs on across a reconnect.
  client.reset();
  ASSERT_TRUE(waitFor([&] { return !server->isClientConnected(); }));
  LoopbackClient next;
  connect(next);
  EXPECT_EQ(u16(roundTrip(next, 1, unit), 8), 4);
}

TEST_F(VideoChannel, ClientRecordsInOneSegmentAndSplitAcrossSegments) {
  // Unknown type, empty, short and trailing bytes are skipped or ignored.
  const auto stream =
      concat({framed({16, 5}), framed(kInputBody), framed(kFeedbackBody), framed({0, 1, 2}), framed({16}),
              framed({}), framed(std::vector<uint8_t>(kInputBody.begin(), kInputBody.end() - 1)),
              framed({255, 16, 1}), framed({16, 9, 0xEE, 0xEE})});
  const std::vector<std::string> expected{"key 5", kInputEvent, "feedback 12 300", "key 9"};

  LoopbackClient client;
  connect(client);
  client.write(stream);
  ASSERT_TRUE(received.waitForSize(4));
  EXPECT_EQ(received.all(), expected);

  for (uint8_t byte : stream) client.write({byte});
  ASSERT_TRUE(received.waitForSize(8));
  const auto all = received.all();
  EXPECT_EQ(std::vector<std::string>(all.begin() + 4, all.end()), expected);
}

TEST_F(VideoChannel, BodyLimitIsFourMebibytes) {
  LoopbackClient client;
  connect(client);
  std::vector<uint8_t> largest(4194304, 0);
  largest[0] = 16;
  largest[1] = 3;
  client.write(framed(largest));
  ASSERT_TRUE(received.waitForSize(1));
  EXPECT_EQ(received.all()[0], "key 3");

  client.write(concat({{0x01, 0x00, 0x40, 0x00}, {16, 4}}));  // 4194305
  ASSERT_TRUE(logWait(log, "TCP message too large: 4194305 bytes"));
  // The connection is no longer read, but it is still the client and gets frames.
  EXPECT_EQ(roundTrip(client, 1, {9}).size(), 21u);
  expectServesGoodClient();
  EXPECT_EQ(received.size(), 2u);  // nothing of the oversized body
}

TEST_F(VideoChannel, NewerClientReplacesOlder) {
  LoopbackClient first, second;
  connect(first);
  connect(second);
  ASSERT_TRUE(logWait(log, "Closing existing TCP client connection"));
  EXPECT_TRUE(first.waitClosed());
  ASSERT_TRUE(logWait(log, "TCP client disconnected:"));
  EXPECT_TRUE(server->isClientConnected());
  EXPECT_EQ(roundTrip(second, 4, {1, 2})[6], 4);
  second.write(framed(kInputBody));
  ASSERT_TRUE(received.waitForSize(1));
  EXPECT_EQ(received.all()[0], kInputEvent);
}

TEST_F(VideoChannel, ClientClosingMidRecordOrResetting) {
  {
    LoopbackClient client;
    connect(client);
    client.write(concat({{100, 0, 0, 0}, std::vector<uint8_t>(10, 4)}));
  }
  ASSERT_TRUE(logWait(log, "TCP read error:"));
  expectServesGoodClient();

  // A flood of connections that reset at once, some before the host has seen them.
  for (int i = 0; i < 100; ++i) {
    LoopbackClient flood;
    ASSERT_TRUE(flood.connect(server->localPort()));
    if (i % 2) flood.write({1, 0});
    flood.reset();
  }
  expectServesGoodClient();
  EXPECT_EQ(received.all().front(), "key 42");
}

TEST_F(VideoChannel, ClientThatStopsReadingIsDroppedWithinTheBound) {
  server.reset();
  startServer(std::chrono::milliseconds(300));
  LoopbackClient stalled;
  stalled.setReceiveBuffer(4096);
  connect(stalled);
  const std::vector<uint8_t> unit(1 << 20, 0x11);
  // Each call returns within the bound; one that finds no room drops the client.
  for (int calls = 0; server->isClientConnected() && calls < 50; ++calls) {
    server->sendVideoFrame(1, unit.data(), unit.size(), false);
  }
  EXPECT_FALSE(server->isClientConnected());
  EXPECT_TRUE(log.contains("TCP send failed:"));
  expectServesGoodClient();
}

TEST_F(VideoChannel, StopWakesABlockedWriter) {
  TcpTransportServer never(0);  // never started: stop does nothing
  never.stop();
  EXPECT_FALSE(log.contains("TCP transport server stopped"));

  server.reset();
  startServer(std::chrono::milliseconds(5000));
  LoopbackClient stalled;
  stalled.setReceiveBuffer(4096);
  connect(stalled);
  const std::vector<uint8_t> unit(8 << 20, 0x22);
  std::atomic<bool> writing{false};
  std::thread writer([&] {
    writing = true;
    for (int i = 0; i < 4 && server->isClientConnected(); ++i) {
      server->sendVideoFrame(1, unit.data(), unit.size(), false);
    }
  });
  ASSERT_TRUE(waitFor([&] { return writing.load(); }));
  server->stop();
  writer.join();
  EXPECT_FALSE(server->isClientConnected());
  server->stop();
  EXPECT_EQ(log.count("TCP transport server stopped"), 2u);  // the first server's, and this one's once
}
