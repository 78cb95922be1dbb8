#include <algorithm>
#include <atomic>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "channels/ChannelTestSupport.h"
#include "network/TcpTransportServer.h"

using quorvane::host::ClientFeedback;
using quorvane::host::ClientInput;
using quorvane::host::TcpTransportServer;
using namespace quorvane::test;

namespace {

struct Received {
  std::mutex mutex;
  std::vector<std::string> events;

  void add(std::string event) {
    std::lock_guard lock(mutex);
    events.push_back(std::move(event));
  }
  size_t size() {
    std::lock_guard lock(mutex);
    return events.size();
  }
  std::vector<std::string> all() {
    std::lock_guard lock(mutex);
    return events;
  }
};

class VideoChannel : public ::testing::Test {
 protected:
  void SetUp() override { startServer(TcpTransportServer::kSendTimeout); }

  void startServer(std::chrono::milliseconds sendTimeout) {
    server = std::make_unique<TcpTransportServer>(0, sendTimeout);
    ASSERT_TRUE(server->start());
    server->onKeyframeRequest = [this](uint8_t id) { received.add("key " + std::to_string(id)); };
    server->setClientInputCallback([this](const ClientInput& in) {
      received.add("input " + std::to_string(in.streamId) + " " + std::to_string(in.type) + " " +
                   std::to_string(in.action) + " " + std::to_string(in.x) + " " + std::to_string(in.y) + " " +
                   std::to_string(in.code) + " " + std::to_string(in.modifiers) + " " +
                   std::to_string(in.wheelDelta));
    });
    server->setClientFeedbackCallback([this](const ClientFeedback& fb) {
      received.add("feedback " + std::to_string(fb.decodeTimeMs) + " " + std::to_string(fb.rttMs));
    });
  }

  void connect(TestClient& client) {
    const int before = log.count("TCP client connected from 127.0.0.1");
    ASSERT_TRUE(client.connect(server->localPort()));
    ASSERT_TRUE(waitFor([&] { return log.count("TCP client connected from 127.0.0.1") > before; }));
  }

  // Sends one frame and reads its packet back.
  std::vector<uint8_t> roundTrip(TestClient& client, uint8_t stream, const std::vector<uint8_t>& unit,
                                 bool key) {
    server->sendVideoFrame(stream, unit.data(), unit.size(), key);
    return client.read(20 + unit.size());
  }

  // A well-behaved client still gets frames and has its records read. Its request
  // arriving shows that it is the current client, whatever else connected before.
  void expectServesGoodClient() {
    TestClient good;
    ASSERT_TRUE(good.connect(server->localPort()));
    const size_t before = received.size();
    good.write(framed({16, 42}));
    ASSERT_TRUE(waitFor([&] { return received.size() > before; }));
    EXPECT_EQ(received.all().back(), "key 42");
    const auto packet = roundTrip(good, 2, {1, 2, 3}, true);
    ASSERT_EQ(packet.size(), 23u);
    EXPECT_EQ(u32(packet, 0), 19u);
  }

  LogCapture log;
  Received received;
  std::unique_ptr<TcpTransportServer> server;
};

// Body bytes of a ClientInput record: type byte 3, then the naturally aligned layout.
const std::vector<uint8_t> kInputBody{3, 7, 1, 4, 0xAA, 0x34, 0x12, 0x78, 0x56, 2, 5, 0x88, 0xFF};
const std::vector<uint8_t> kFeedbackBody{4, 1, 2, 3, 4, 5, 6, 7, 8, 12, 0, 0x2C, 0x01};
const char* kInputEvent = "input 7 1 4 4660 22136 2 5 -120";

}  // namespace

TEST_F(VideoChannel, PacketBytesLengthsAndSequence) {
  std::vector<uint8_t> unit(5);
  std::iota(unit.begin(), unit.end(), uint8_t{0xA0});
  server->sendVideoFrame(1, unit.data(), unit.size(), true);  // no client: dropped, no number taken

  TestClient client;
  connect(client);
  const uint32_t before = TcpTransportServer::videoTimestamp90k();
  const auto packet = roundTrip(client, 7, unit, true);
  const uint32_t after = TcpTransportServer::videoTimestamp90k();
  ASSERT_EQ(packet.size(), 25u);
  const std::vector<uint8_t> head(packet.begin(), packet.begin() + 12);
  EXPECT_EQ(head, (std::vector<uint8_t>{21, 0, 0, 0, 1, 1, 7, 1, 0, 0, 13, 0}));
  EXPECT_LE(u32(packet, 12) - before, after - before);
  EXPECT_EQ(std::vector<uint8_t>(packet.begin() + 16, packet.end()),
            (std::vector<uint8_t>{1, 0, 1, 0, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));

  // 65527 bytes make the payload length exactly 65535; beyond that it saturates while
  // the prefix keeps counting.
  const std::vector<uint8_t> big(65527, 0x5A), bigger(200000, 0x6B);
  auto p = roundTrip(client, 9, big, false);
  ASSERT_EQ(p.size(), 20 + big.size());
  EXPECT_EQ(u32(p, 0), 65543u);
  EXPECT_EQ(u16(p, 8), 1);
  EXPECT_EQ(u16(p, 10), 65535);
  EXPECT_EQ(p[16], 3);
  EXPECT_EQ(p.back(), 0x5A);
  p = roundTrip(client, 9, bigger, false);
  ASSERT_EQ(p.size(), 20 + bigger.size());
  EXPECT_EQ(u32(p, 0), 200016u);
  EXPECT_EQ(u16(p, 8), 2);
  EXPECT_EQ(u16(p, 10), 65535);
  p = roundTrip(client, 9, {}, false);
  EXPECT_EQ(u32(p, 0), 16u);
  EXPECT_EQ(u16(p, 10), 8);

  // The counter runs on across a reconnect and wraps.
  client.reset();
  ASSERT_TRUE(waitFor([&] { return !server->isClientConnected(); }));
  TestClient next;
  connect(next);
  p = roundTrip(next, 1, unit, false);
  EXPECT_EQ(u16(p, 8), 4);
  // Frames 5 to 65535, in batches that fit the socket buffers.
  for (int i = 5; i < 65536;) {
    const int batch = std::min(1000, 65536 - i);
    for (int k = 0; k < batch; ++k) server->sendVideoFrame(1, nullptr, 0, false);
    const auto bytes = next.read(20 * static_cast<size_t>(batch));
    ASSERT_EQ(bytes.size(), 20u * batch);
    i += batch;
    EXPECT_EQ(u16(bytes, bytes.size() - 12), static_cast<uint16_t>(i - 1));
  }
  p = roundTrip(next, 1, unit, false);
  EXPECT_EQ(u16(p, 8), 0);
}

TEST_F(VideoChannel, ClientRecordsInOneSegmentAndSplitAcrossSegments) {
  const auto stream =
      concat({framed({16, 5}), framed(kInputBody), framed(kFeedbackBody), framed({0, 1, 2}), framed({16}),
              framed({}), framed(std::vector<uint8_t>(kInputBody.begin(), kInputBody.end() - 1)),
              framed({255, 16, 1}), framed({16, 9, 0xEE, 0xEE})});
  const std::vector<std::string> expected{"key 5", kInputEvent, "feedback 12 300", "key 9"};

  TestClient client;
  connect(client);
  client.write(stream);
  ASSERT_TRUE(waitFor([&] { return received.size() >= 4; }));
  EXPECT_EQ(received.all(), expected);

  // The same bytes again, one byte per segment.
  for (uint8_t byte : stream) client.write({byte});
  ASSERT_TRUE(waitFor([&] { return received.size() >= 8; }));
  const auto all = received.all();
  EXPECT_EQ(std::vector<std::string>(all.begin() + 4, all.end()), expected);
}

TEST_F(VideoChannel, BodyLimitIsFourMebibytes) {
  TestClient client;
  connect(client);
  std::vector<uint8_t> largest(4194304, 0);
  largest[0] = 16;
  largest[1] = 3;
  client.write(framed(largest));
  ASSERT_TRUE(waitFor([&] { return received.size() == 1; }));
  EXPECT_EQ(received.all()[0], "key 3");

  client.write(concat({{0x01, 0x00, 0x40, 0x00}, {16, 4}}));  // 4194305
  ASSERT_TRUE(log.waitFor("TCP message too large: 4194305 bytes"));
  // The connection is no longer read, but it is still the client and gets frames.
  EXPECT_TRUE(server->isClientConnected());
  const auto packet = roundTrip(client, 1, {9}, false);
  EXPECT_EQ(packet.size(), 21u);
  expectServesGoodClient();
  EXPECT_EQ(received.size(), 2u);  // only the good client's request besides the first
}

TEST_F(VideoChannel, NewerClientReplacesOlder) {
  TestClient first, second;
  connect(first);
  connect(second);
  ASSERT_TRUE(log.waitFor("Closing existing TCP client connection"));
  EXPECT_TRUE(first.waitClosed());
  ASSERT_TRUE(log.waitFor("TCP client disconnected:"));
  EXPECT_TRUE(server->isClientConnected());
  const auto packet = roundTrip(second, 4, {1, 2}, true);
  ASSERT_EQ(packet.size(), 22u);
  EXPECT_EQ(packet[6], 4);
  second.write(framed(kInputBody));
  ASSERT_TRUE(waitFor([&] { return received.size() == 1; }));
  EXPECT_EQ(received.all()[0], kInputEvent);
}

TEST_F(VideoChannel, ClientClosingMidRecordOrResetting) {
  {
    TestClient client;
    connect(client);
    client.write(concat({{100, 0, 0, 0}, std::vector<uint8_t>(10, 4)}));
  }
  ASSERT_TRUE(log.waitFor("TCP read error:"));
  expectServesGoodClient();

  // A flood of connections that reset at once, some before the host has seen them.
  for (int i = 0; i < 100; ++i) {
    TestClient flood;
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
  TestClient stalled;
  stalled.setReceiveBuffer(4096);
  connect(stalled);
  const std::vector<uint8_t> unit(1 << 20, 0x11);
  // Each call returns (within the bound); the second or a later one finds no room and
  // drops the client.
  int calls = 0;
  while (server->isClientConnected() && calls < 50) {
    server->sendVideoFrame(1, unit.data(), unit.size(), false);
    ++calls;
  }
  EXPECT_FALSE(server->isClientConnected());
  EXPECT_TRUE(log.contains("TCP send failed:"));
  expectServesGoodClient();
}

TEST_F(VideoChannel, StopWakesABlockedWriter) {
  server.reset();
  startServer(std::chrono::milliseconds(5000));
  TestClient stalled;
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
  const int stoppedBefore = log.count("TCP transport server stopped");
  ASSERT_TRUE(waitFor([&] { return writing.load(); }));
  server->stop();
  writer.join();
  EXPECT_EQ(log.count("TCP transport server stopped"), stoppedBefore + 1);
  EXPECT_FALSE(server->isClientConnected());
  server->stop();  // a second stop does nothing
  EXPECT_EQ(log.count("TCP transport server stopped"), stoppedBefore + 1);
}

TEST(VideoChannelLifecycle, StopWithoutStartDoesNothing) {
  LogCapture log;
  TcpTransportServer never(0);
  never.stop();
  never.poll();
  EXPECT_FALSE(never.isClientConnected());
  EXPECT_FALSE(log.contains("TCP transport server stopped"));
}
