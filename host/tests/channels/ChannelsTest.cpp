// The video, audio and input channels on loopback, with clients written here. The servers'
// callbacks log what they get, so the log shows it.
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "network/TcpAudioServer.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"
#include "support/LogCapture.h"
#include "support/LoopbackClient.h"

using namespace quorvane::host;
using namespace quorvane::test;
using Bytes = std::vector<uint8_t>;

namespace {

// Length-prefixed messages, one after the other.
Bytes framed(std::initializer_list<Bytes> bodies) {
  Bytes bytes;
  for (const auto& body : bodies) {
    const auto n = static_cast<uint32_t>(body.size());
    bytes.insert(bytes.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
    bytes.insert(bytes.end(), body.begin(), body.end());
  }
  return bytes;
}

uint32_t le(const Bytes& bytes, size_t at, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}

// One host-to-client packet: the length prefix and what it counts.
Bytes readPacket(LoopbackClient& client) {
  auto packet = client.read(4);
  const auto rest = packet.empty() ? Bytes() : client.read(le(packet, 0, 4));
  packet.insert(packet.end(), rest.begin(), rest.end());
  return packet;
}

// An access unit or Opus packet whose first two bytes number it.
Bytes numbered(size_t size, uint16_t number) {
  Bytes data(size, 0x5A);
  data[0] = uint8_t(number);
  data[1] = uint8_t(number >> 8);
  return data;
}

bool logged(const LogCapture& log, const std::string& text, size_t times = 1) {
  return waitFor([&] { return log.count(text) >= times; });
}

// Records of the video channel: type byte, then the naturally aligned layout.
const Bytes kInputBody{3, 7, 1, 4, 0xAA, 0x34, 0x12, 0x78, 0x56, 2, 5, 0x88, 0xFF};
const Bytes kFeedbackBody{4, 1, 2, 3, 4, 5, 6, 7, 8, 12, 0, 0x2C, 0x01};

class VideoChannel : public ::testing::Test {
 protected:
  void SetUp() override { startServer(TcpTransportServer::kSendTimeout, TcpTransportServer::kBacklogBytes); }

  void startServer(std::chrono::milliseconds sendTimeout, size_t backlogBytes) {
    server = std::make_unique<TcpTransportServer>(0, sendTimeout, backlogBytes);
    ASSERT_TRUE(server->start());
    server->onKeyframeRequest = [](uint8_t id) { spdlog::info("key {}", id); };
    server->setClientInputCallback([](const ClientInput& in) {
      spdlog::info("input {} {} {} {} {} {} {} {}", in.streamId, in.type, in.action, in.x, in.y, in.code,
                   in.modifiers, in.wheelDelta);
    });
    server->setClientFeedbackCallback(
        [](const ClientFeedback& fb) { spdlog::info("feedback {} {}", fb.decodeTimeMs, fb.rttMs); });
  }

  // A client with a small window when it is not to read.
  void connect(LoopbackClient& client, bool stalled = false) {
    const size_t before = log.count("TCP client connected from 127.0.0.1");
    if (stalled) client.setReceiveBuffer(4096);
    ASSERT_TRUE(client.connect(server->localPort()));
    ASSERT_TRUE(logged(log, "TCP client connected from 127.0.0.1", before + 1));
  }

  Bytes roundTrip(LoopbackClient& client, uint8_t stream, const Bytes& unit, bool key = false) {
    server->sendVideoFrame(stream, unit.data(), unit.size(), key);
    return client.read(20 + unit.size());
  }

  // A new client has its records read and gets frames, whatever connected before.
  void expectServesGoodClient() {
    LoopbackClient good;
    ASSERT_TRUE(good.connect(server->localPort()));
    const size_t before = log.count("key 42");
    ASSERT_TRUE(good.write(framed({{16, 42}})));
    ASSERT_TRUE(logged(log, "key 42", before + 1));
    EXPECT_EQ(le(roundTrip(good, 2, {1, 2, 3}), 0, 4), 19u);
  }

  LogCapture log;
  std::unique_ptr<TcpTransportServer> server;
};

}  // namespace

TEST_F(VideoChannel, PacketBytesLengthsAndSequence) {
  const Bytes unit{0xA0, 0xA1, 0xA2, 0xA3, 0xA4};
  server->sendVideoFrame(1, unit.data(), unit.size(), true);  // no client: dropped, no number taken
  LoopbackClient client;
  connect(client);
  // The send time in 90 kHz ticks of the steady clock, read here before and after.
  const auto ticks = [] {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return uint32_t(uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) * 9 / 100);
  };
  const uint32_t before = ticks();
  auto p = roundTrip(client, 7, unit, true);
  ASSERT_EQ(p.size(), 25u);
  EXPECT_LE(le(p, 12, 4) - before, ticks() - before);
  p.erase(p.begin() + 12, p.begin() + 16);
  EXPECT_EQ(p, (Bytes{21, 0, 0, 0, 1, 1, 7, 1, 0, 0, 13, 0, 1, 0, 1, 0, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));

  // Length, sequence and payload length: 65527 bytes make exactly 65535, beyond that it
  // saturates while the prefix keeps counting.
  const uint32_t cases[][4] = {{65527, 65543, 1, 65535}, {200000, 200016, 2, 65535}, {0, 16, 3, 8}};
  for (const auto& [size, length, sequence, payloadLength] : cases) {
    p = roundTrip(client, 9, Bytes(size, 0x5A));
    ASSERT_EQ(p.size(), 20 + size);
    EXPECT_EQ(le(p, 0, 4), length);
    EXPECT_EQ(le(p, 8, 2), sequence);
    EXPECT_EQ(le(p, 10, 2), payloadLength);
    EXPECT_EQ(p[16], 3);  // not a keyframe
  }
  // The counter runs on across a reconnect.
  client.reset();
  ASSERT_TRUE(waitFor([&] { return !server->isClientConnected(); }));
  LoopbackClient next;
  connect(next);
  EXPECT_EQ(le(roundTrip(next, 1, unit), 8, 2), 4u);
}

TEST_F(VideoChannel, ClientRecordsReplacementAndBrokenClients) {
  LoopbackClient first, second;
  connect(first);
  connect(second);
  EXPECT_TRUE(first.waitClosed());
  ASSERT_TRUE(second.write(framed({{16, 5}, kInputBody, kFeedbackBody, {0, 1, 2}})));
  EXPECT_TRUE(logged(log, "feedback 12 300"));
  EXPECT_TRUE(log.contains("key 5"));
  EXPECT_TRUE(log.contains("input 7 1 4 4660 22136 2 5 -120"));
  // A length above the limit: no longer read, but still the client, and it gets frames.
  ASSERT_TRUE(second.write({0x01, 0x00, 0x40, 0x00, 16, 77}));
  ASSERT_TRUE(logged(log, "TCP message too large: 4194305 bytes"));
  EXPECT_EQ(roundTrip(second, 1, {9}).size(), 21u);
  expectServesGoodClient();
  EXPECT_FALSE(log.contains("key 77"));

  // Broken off mid-record, and a flood of connections that reset at once.
  LoopbackClient broken;
  connect(broken);
  ASSERT_TRUE(broken.write({100, 0, 0, 0, 4, 4, 4}));
  broken.socket().close();
  ASSERT_TRUE(logged(log, "TCP read error:"));
  for (int i = 0; i < 100; ++i) {
    LoopbackClient flood;
    ASSERT_TRUE(flood.connect(server->localPort()));
    if (i % 2) flood.write({1, 0});
    flood.reset();
  }
  expectServesGoodClient();
}

TEST_F(VideoChannel, ClientThatFallsBehindCostsFramesOfItsStreamNotWaiting) {
  // A send that waited for the client would have it dropped after a second.
  server.reset();
  startServer(1s, 64 * 1024);
  LoopbackClient client;
  connect(client, true);
  const size_t size = 16 * 1024;
  uint16_t refused = 0;  // the first frame that finds no room asks for a keyframe at once
  while (refused < 1000 && !log.contains("key 1"))
    server->sendVideoFrame(1, numbered(size, refused++).data(), size, false);
  ASSERT_EQ(log.count("key "), 1u);
  server->sendVideoFrame(1, numbered(10, 0).data(), 10, false);  // stream 1 waits for a keyframe
  for (uint16_t n = 0; n + 1 < refused; ++n) {                   // the earlier ones, whole and in order
    const auto p = readPacket(client);
    ASSERT_EQ(p.size(), 20 + size);
    ASSERT_EQ(le(p, 8, 2), n);
    ASSERT_TRUE(std::equal(p.begin() + 20, p.end(), numbered(size, n).begin()));
  }
  // Stream 1 goes on from a keyframe; stream 2 was never held back. The numbers run on.
  const std::pair<uint8_t, bool> after[] = {{1, false}, {2, false}, {1, true}, {1, false}};
  for (uint16_t i = 0; i < 4; ++i) {
    server->sendVideoFrame(after[i].first, numbered(10, i).data(), 10, after[i].second);
  }
  for (uint16_t i = 1; i < 4; ++i) {
    const auto p = readPacket(client);
    ASSERT_EQ(p.size(), 30u);
    EXPECT_EQ((Bytes{uint8_t(le(p, 8, 2) - refused), p[6], p[16], p[20]}),
              (Bytes{uint8_t(i - 2), after[i].first, uint8_t(after[i].second ? 1 : 3), uint8_t(i)}));
  }
  // A frame larger than the whole backlog goes on its own, once nothing else waits.
  const auto large = numbered(100000, 7);
  ASSERT_TRUE(waitFor([&] {
    server->sendVideoFrame(1, large.data(), large.size(), true);
    return client.socket().available() > 0;
  }));
  const auto p = readPacket(client);
  EXPECT_TRUE(p.size() == 100020 && std::equal(p.begin() + 20, p.end(), large.begin()));
  // One that takes nothing for the limit while packets wait is dropped.
  const Bytes unit(4 << 20, 0x11);
  EXPECT_TRUE(waitFor([&] {
    server->sendVideoFrame(1, unit.data(), unit.size(), true);
    return !server->isClientConnected();
  }));
  EXPECT_EQ(log.count("TCP send failed: "), 1u);
  expectServesGoodClient();
}

TEST(Channels, CallbacksMayBeAssignedWhileRecordsArriveAndStartIsOnce) {  // video and input
  LogCapture log;
  TcpTransportServer video(0);
  TcpInputServer input(0);
  ASSERT_TRUE(video.start());
  ASSERT_TRUE(input.start());
  EXPECT_FALSE(video.start());  // fails, and the running channel goes on serving
  EXPECT_FALSE(input.start());
  EXPECT_EQ(log.count("Failed to start TCP transport: "), 1u);
  EXPECT_EQ(log.count("Failed to start TCP input server: "), 1u);
  LoopbackClient videoClient, inputClient;
  ASSERT_TRUE(videoClient.connect(video.localPort()) && inputClient.connect(input.localPort()));
  ASSERT_TRUE(waitFor([&] { return video.isClientConnected() && input.isClientConnected(); }));
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    const auto records = framed({{16, 1}, kInputBody, kFeedbackBody});
    while (feeding && videoClient.write(records) && inputClient.write(framed({Bytes(12, 1)}))) {
    }
  });
  std::atomic<int> calls{0};
  const auto count = [&](auto&&...) { ++calls; };
  EXPECT_TRUE(waitFor([&] {
    video.onKeyframeRequest = count;
    video.setClientInputCallback(count);
    video.setClientFeedbackCallback(count);
    input.onInputEvent = count;
    return calls > 1000;
  }));
  feeding = false;
  feeder.join();
  video.onKeyframeRequest = [](uint8_t id) { spdlog::info("key {}", id); };
  input.onInputEvent = [](const InputEvent& e) {
    spdlog::info("event {} {} {} {} {} {} {} {}", +e.streamId, +e.type, +e.action, +e.x, +e.y, +e.code,
                 +e.modifiers, +e.wheelDelta);
  };
  // An input event is byte-packed, 16-bit fields at odd offsets; bytes after the first twelve
  // are ignored, and so are shorter messages.
  Bytes event{3, 2, 3, 0xE9, 0x00, 0x78, 0x56, 0x41, 0x03, 0x88, 0xFF, 0x77};
  event.resize(1024, 9);
  auto stream = framed({{1, 2, 3}, event});
  stream.insert(stream.end(), {0x01, 0x04, 0, 0});  // 1025 bytes announced
  ASSERT_TRUE(videoClient.write(framed({{16, 99}})) && inputClient.write(stream));
  EXPECT_TRUE(logged(log, "key 99") && logged(log, "TCP input message too large: 1025 bytes"));
  EXPECT_TRUE(log.contains("TCP input message too small: 3 bytes"));
  EXPECT_EQ(log.count("event 3 2 3 233 22136 65 3 -120"), 1u);
  video.sendVideoFrame(3, kInputBody.data(), 1, false);
  EXPECT_EQ(videoClient.read(21).size(), 21u);

  TcpTransportServer never(0);  // never started: stop does nothing
  never.stop();
  video.stop();
  video.stop();
  EXPECT_EQ(log.count("TCP transport server stopped"), 1u);
  EXPECT_TRUE(videoClient.waitClosed());
}

TEST(AudioChannel, FramingSequenceAndAClientThatFallsBehind) {
  LogCapture log;
  TcpAudioServer server(0, 1s);
  ASSERT_TRUE(server.start());
  const Bytes opus(100, 0x3C);
  server.sendAudioData(1, opus.data(), opus.size());  // no client: dropped, no number taken
  LoopbackClient first, behind;
  ASSERT_TRUE(first.connect(server.localPort()));
  ASSERT_TRUE(waitFor([&] { return server.isClientConnected(); }));
  for (int i = 0; i < 4; ++i) server.sendAudioData(5, opus.data(), opus.size());
  for (uint32_t i = 0; i < 4; ++i) {
    auto p = readPacket(first);
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    ASSERT_EQ(p.size(), 116u);
    EXPECT_LE(uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) - le(p, 12, 4),
              1000u);
    EXPECT_TRUE(std::equal(opus.begin(), opus.end(), p.begin() + 16));
    p.erase(p.begin() + 12, p.end());
    EXPECT_EQ(p, (Bytes{112, 0, 0, 0, 1, 2, 5, 0, uint8_t(i), 0, 104, 0}));
  }
  EXPECT_EQ(log.count("TCP Audio packet #"), 3u);

  // A newer client that does not read replaces the first. Packets that find no room are
  // dropped at once, and the numbers run on over those that go out.
  behind.setReceiveBuffer(4096);
  ASSERT_TRUE(behind.connect(server.localPort()));
  EXPECT_TRUE(first.waitClosed());
  for (uint16_t n = 0; n < 300; ++n) server.sendAudioData(1, numbered(4000, n).data(), 4000);
  std::vector<uint16_t> numbers;
  for (uint16_t next = 1000; numbers.empty() || numbers.back() < 1000;) {  // offering more each time
    ASSERT_TRUE(waitFor([&] {
      server.sendAudioData(1, numbered(4000, next++).data(), 4000);
      return behind.socket().available() > 0;
    }));
    const auto p = readPacket(behind);
    ASSERT_EQ(p.size(), 4016u);
    ASSERT_EQ(le(p, 8, 2), 4u + numbers.size());
    numbers.push_back(uint16_t(le(p, 16, 2)));
    ASSERT_TRUE(std::equal(p.begin() + 16, p.end(), numbered(4000, numbers.back()).begin()));
  }
  EXPECT_LT(numbers.size(), 300u);
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
  // One that takes nothing for the limit while packets wait is dropped.
  EXPECT_TRUE(waitFor([&] {
    server.sendAudioData(1, numbered(4000, 0).data(), 4000);
    return !server.isClientConnected();
  }));
  EXPECT_EQ(log.count("TCP audio send failed:"), 1u);
}
