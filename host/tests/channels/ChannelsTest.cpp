// The video, audio and input channels on loopback, with clients written here.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/fmt/fmt.h>

#include "network/TcpAudioServer.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"
#include "support/LogCapture.h"
#include "support/LoopbackClient.h"

using namespace quorvane::host;
using namespace quorvane::test;

namespace {

// What a server's callbacks handed over, from its own threads.
class Recorded {
 public:
  void add(std::string item) {
    std::lock_guard lock(mutex);
    items.push_back(std::move(item));
  }
  std::vector<std::string> all() {
    std::lock_guard lock(mutex);
    return items;
  }
  bool waitForSize(size_t n) {
    return waitFor([&] { return all().size() >= n; });
  }

 private:
  std::mutex mutex;
  std::vector<std::string> items;
};

// Length-prefixed messages, one after the other.
std::vector<uint8_t> framed(std::initializer_list<std::vector<uint8_t>> bodies) {
  std::vector<uint8_t> bytes;
  for (const auto& body : bodies) {
    const auto n = static_cast<uint32_t>(body.size());
    bytes.insert(bytes.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)});
    bytes.insert(bytes.end(), body.begin(), body.end());
  }
  return bytes;
}

uint32_t le(const std::vector<uint8_t>& bytes, size_t at, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}

// One host-to-client packet: the length prefix and what it counts.
std::vector<uint8_t> readPacket(LoopbackClient& client) {
  auto packet = client.read(4);
  if (packet.empty()) return packet;
  const auto rest = client.read(le(packet, 0, 4));
  packet.insert(packet.end(), rest.begin(), rest.end());
  return packet;
}

// An access unit or Opus packet whose first two bytes number it.
std::vector<uint8_t> numbered(size_t size, uint16_t number) {
  std::vector<uint8_t> data(size, 0x5A);
  data[0] = uint8_t(number);
  data[1] = uint8_t(number >> 8);
  return data;
}

// The send time in 90 kHz ticks, from the steady clock as the test reads it.
uint32_t ticks90k() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return uint32_t(uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) * 9 / 100);
}

class VideoChannel : public ::testing::Test {
 protected:
  void SetUp() override { startServer(TcpTransportServer::kSendTimeout, TcpTransportServer::kBacklogBytes); }

  void startServer(std::chrono::milliseconds sendTimeout, size_t backlogBytes) {
    server = std::make_unique<TcpTransportServer>(0, sendTimeout, backlogBytes);
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
    const size_t before = log.count("TCP client connected from 127.0.0.1");
    ASSERT_TRUE(client.connect(server->localPort()));
    ASSERT_TRUE(waitFor([&] { return log.count("TCP client connected from 127.0.0.1") > before; }));
  }

  // A server with the given limits, and a client with a small window that does not read.
  void restartWithStalledClient(std::chrono::milliseconds sendTimeout, size_t backlogBytes,
                                LoopbackClient& stalled) {
    server.reset();
    startServer(sendTimeout, backlogBytes);
    stalled.setReceiveBuffer(4096);
    connect(stalled);
  }

  std::vector<uint8_t> roundTrip(LoopbackClient& client, uint8_t stream, const std::vector<uint8_t>& unit) {
    server->sendVideoFrame(stream, unit.data(), unit.size(), false);
    return client.read(20 + unit.size());
  }

  // A new client gets frames and has its records read; its request arriving shows that it is
  // the current client, whatever connected before.
  void expectServesGoodClient() {
    LoopbackClient good;
    ASSERT_TRUE(good.connect(server->localPort()));
    const size_t before = received.all().size();
    ASSERT_TRUE(good.write(framed({{16, 42}})));
    ASSERT_TRUE(received.waitForSize(before + 1));
    EXPECT_EQ(received.all().back(), "key 42");
    EXPECT_EQ(le(roundTrip(good, 2, {1, 2, 3}), 0, 4), 19u);
  }

  LogCapture log;
  Recorded received;
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
  const uint32_t before = ticks90k();
  server->sendVideoFrame(7, unit.data(), unit.size(), true);
  const uint32_t after = ticks90k();
  auto p = client.read(25);
  ASSERT_EQ(p.size(), 25u);
  EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 12),
            (std::vector<uint8_t>{21, 0, 0, 0, 1, 1, 7, 1, 0, 0, 13, 0}));
  EXPECT_LE(le(p, 12, 4) - before, after - before);
  EXPECT_EQ(std::vector<uint8_t>(p.begin() + 16, p.end()),
            (std::vector<uint8_t>{1, 0, 1, 0, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));

  // Total length, sequence, payload length (65527 bytes make exactly 65535, beyond that it
  // saturates while the prefix keeps counting) and the key flag.
  const struct {
    size_t size;
    uint32_t length, sequence, payloadLength;
  } cases[] = {{65527, 65543, 1, 65535}, {200000, 200016, 2, 65535}, {0, 16, 3, 8}};
  for (const auto& c : cases) {
    p = roundTrip(client, 9, std::vector<uint8_t>(c.size, 0x5A));
    ASSERT_EQ(p.size(), 20 + c.size);
    EXPECT_EQ(le(p, 0, 4), c.length);
    EXPECT_EQ(le(p, 8, 2), c.sequence);
    EXPECT_EQ(le(p, 10, 2), c.payloadLength);
    EXPECT_EQ(p[16], 3);  // not a keyframe
  }

  // The counter runs on across a reconnect.
  client.reset();
  ASSERT_TRUE(waitFor([&] { return !server->isClientConnected(); }));
  LoopbackClient next;
  connect(next);
  EXPECT_EQ(le(roundTrip(next, 1, unit), 8, 2), 4u);
}

TEST_F(VideoChannel, ClientRecordsAndTheLengthLimit) {
  // Unknown type, empty, short and trailing bytes are skipped or ignored.
  LoopbackClient client;
  connect(client);
  ASSERT_TRUE(client.write(framed({{16, 5},
                                   kInputBody,
                                   kFeedbackBody,
                                   {0, 1, 2},
                                   {16},
                                   {},
                                   std::vector<uint8_t>(kInputBody.begin(), kInputBody.end() - 1),
                                   {255, 16, 1},
                                   {16, 9, 0xEE, 0xEE}})));
  ASSERT_TRUE(received.waitForSize(4));
  EXPECT_EQ(received.all(), (std::vector<std::string>{"key 5", kInputEvent, "feedback 12 300", "key 9"}));

  ASSERT_TRUE(client.write({0x01, 0x00, 0x40, 0x00, 16, 4}));  // 4194305 bytes announced
  ASSERT_TRUE(waitFor([&] { return log.contains("TCP message too large: 4194305 bytes"); }));
  // The connection is no longer read, but it is still the client and gets frames.
  EXPECT_EQ(roundTrip(client, 1, {9}).size(), 21u);
  expectServesGoodClient();
  EXPECT_EQ(received.all().size(), 5u);  // nothing of the oversized body
}

TEST_F(VideoChannel, NewerClientReplacesOlderAndBrokenOnesGo) {
  LoopbackClient first, second;
  connect(first);
  connect(second);
  EXPECT_TRUE(first.waitClosed());
  EXPECT_EQ(roundTrip(second, 4, {1, 2})[6], 4);
  ASSERT_TRUE(second.write(framed({kInputBody})));
  ASSERT_TRUE(received.waitForSize(1));
  EXPECT_EQ(received.all()[0], kInputEvent);

  ASSERT_TRUE(second.write({100, 0, 0, 0, 4, 4, 4}));  // and closes mid-record
  second.socket().close();
  ASSERT_TRUE(waitFor([&] { return log.contains("TCP read error:"); }));
  // A flood of connections that reset at once, some before the host has seen them.
  for (int i = 0; i < 100; ++i) {
    LoopbackClient flood;
    ASSERT_TRUE(flood.connect(server->localPort()));
    if (i % 2) flood.write({1, 0});
    flood.reset();
  }
  expectServesGoodClient();
}

TEST_F(VideoChannel, ClientThatFallsBehindCostsFramesOfItsStreamNotWaiting) {
  // A send that waited for the stalled client would end in the client being dropped.
  LoopbackClient client;
  restartWithStalledClient(5s, 64 * 1024, client);
  const size_t size = 16 * 1024;
  uint16_t refused = 0;  // the first frame that found no room asks for a keyframe at once
  for (; refused < 1000 && received.all().empty(); ++refused) {
    server->sendVideoFrame(1, numbered(size, refused).data(), size, false);
  }
  ASSERT_EQ(received.all(), std::vector<std::string>{"key 1"});
  --refused;
  server->sendVideoFrame(1, numbered(10, 60000).data(), 10, false);  // stream 1 waits for a keyframe

  // Every frame before the refused one arrives intact and in order.
  for (uint16_t n = 0; n < refused; ++n) {
    const auto p = readPacket(client);
    ASSERT_EQ(p.size(), 20 + size);
    ASSERT_EQ(le(p, 8, 2), n);
    ASSERT_TRUE(std::equal(p.begin() + 20, p.end(), numbered(size, n).begin()));
  }
  // Stream 1 goes on from a keyframe; stream 2 was never held back. The numbers run on.
  const struct {
    uint8_t stream;
    bool key;
  } after[] = {{1, false}, {2, false}, {1, true}, {1, false}};
  for (uint16_t i = 0; i < 4; ++i) {
    server->sendVideoFrame(after[i].stream, numbered(10, 61000 + i).data(), 10, after[i].key);
  }
  for (uint16_t i = 1; i < 4; ++i) {
    const auto p = readPacket(client);
    ASSERT_EQ(p.size(), 30u);
    EXPECT_EQ(le(p, 8, 2), refused + i - 1u);
    EXPECT_EQ(p[6], after[i].stream);
    EXPECT_EQ(p[16], after[i].key ? 1 : 3);
    EXPECT_EQ(le(p, 20, 2), 61000u + i);
  }
}

TEST_F(VideoChannel, ClientThatTakesNothingIsDroppedAfterTheLimit) {
  LoopbackClient stalled;
  restartWithStalledClient(300ms, TcpTransportServer::kBacklogBytes, stalled);
  const std::vector<uint8_t> unit(4 << 20, 0x11);
  server->sendVideoFrame(1, unit.data(), unit.size(), false);
  EXPECT_TRUE(waitFor([&] { return !server->isClientConnected(); }));
  EXPECT_EQ(log.count("TCP send failed: "), 1u);
  expectServesGoodClient();
}

TEST(Channels, CallbacksMayBeAssignedWhileRecordsArrive) {
  TcpTransportServer video(0);
  TcpInputServer input(0);
  ASSERT_TRUE(video.start());
  ASSERT_TRUE(input.start());
  LoopbackClient videoClient, inputClient;
  ASSERT_TRUE(videoClient.connect(video.localPort()));
  ASSERT_TRUE(inputClient.connect(input.localPort()));
  const auto records = framed({{16, 1}, kInputBody, kFeedbackBody});
  const auto event = framed({std::vector<uint8_t>(12, 1)});

  std::atomic<int> calls{0};
  const auto assignAll = [&] {
    video.onKeyframeRequest = [&](uint8_t) { ++calls; };
    video.setClientInputCallback([&](const ClientInput&) { ++calls; });
    video.setClientFeedbackCallback([&](const ClientFeedback&) { ++calls; });
    input.onInputEvent = [&](const InputEvent&) { ++calls; };
  };
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    while (feeding && videoClient.write(records) && inputClient.write(event)) {
    }
  });
  for (int i = 0; i < 200; ++i) assignAll();
  feeding = false;
  feeder.join();
  calls = 0;
  ASSERT_TRUE(videoClient.write(records));
  ASSERT_TRUE(inputClient.write(event));
  EXPECT_TRUE(waitFor([&] { return calls >= 4; }));
}

TEST(Channels, SecondStartFailsAndTheChannelKeepsServing) {
  LogCapture log;
  TcpTransportServer video(0);
  TcpInputServer input(0);
  Recorded events;
  input.onInputEvent = [&](const InputEvent& e) { events.add(std::to_string(e.streamId)); };
  ASSERT_TRUE(video.start());
  ASSERT_TRUE(input.start());
  EXPECT_FALSE(video.start());
  EXPECT_FALSE(input.start());
  EXPECT_EQ(log.count("Failed to start TCP transport: "), 1u);
  EXPECT_EQ(log.count("Failed to start TCP input server: "), 1u);

  LoopbackClient videoClient, inputClient;
  ASSERT_TRUE(videoClient.connect(video.localPort()));
  ASSERT_TRUE(waitFor([&] { return video.isClientConnected(); }));
  video.sendVideoFrame(3, kInputBody.data(), 1, false);
  EXPECT_EQ(videoClient.read(21).size(), 21u);
  ASSERT_TRUE(inputClient.connect(input.localPort()));
  ASSERT_TRUE(inputClient.write(framed({std::vector<uint8_t>(12, 6)})));
  EXPECT_TRUE(events.waitForSize(1));

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
  const auto connect = [&](LoopbackClient& client) {
    const size_t before = log.count("TCP audio client connected from 127.0.0.1");
    ASSERT_TRUE(client.connect(server.localPort()));
    ASSERT_TRUE(waitFor([&] { return log.count("TCP audio client connected from 127.0.0.1") > before; }));
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
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(le(bytes, 116 * i + 8, 2), i);
  EXPECT_LE(le(bytes, 116 * 3 + 12, 4) - le(bytes, 12, 4), 60000u);  // milliseconds, rising
  EXPECT_EQ(log.count("TCP Audio packet #"), 3u);

  // A newer client that does not read replaces the first. Packets that find no room are
  // dropped at once, and the numbers run on over those that go out.
  LoopbackClient behind;
  behind.setReceiveBuffer(4096);
  connect(behind);
  EXPECT_TRUE(first.waitClosed());
  for (uint16_t n = 0; n < 300; ++n) server.sendAudioData(1, numbered(4000, n).data(), 4000);
  std::vector<uint16_t> numbers;
  for (uint16_t next = 1000; numbers.empty() || numbers.back() < 1000; ++next) {
    const auto p = readPacket(behind);
    ASSERT_EQ(p.size(), 4016u);
    ASSERT_EQ(le(p, 8, 2), 4u + numbers.size());
    numbers.push_back(uint16_t(le(p, 16, 2)));
    server.sendAudioData(1, numbered(4000, next).data(), 4000);
  }
  EXPECT_LT(numbers.size(), 300u);
  EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));

  // A client that takes nothing for the limit while packets wait is dropped.
  EXPECT_TRUE(waitFor([&] {
    server.sendAudioData(1, numbered(4000, 0).data(), 4000);
    return !server.isClientConnected();
  }));
  EXPECT_EQ(log.count("TCP audio send failed:"), 1u);
}

TEST(InputChannel, RecordsShortTrailingAndTooLarge) {
  LogCapture log;
  Recorded events;
  TcpInputServer server(0);
  server.onInputEvent = [&](const InputEvent& e) {
    events.add(fmt::format("{} {} {} {} {} {} {} {}", +e.streamId, +e.type, +e.action, +e.x, +e.y, +e.code,
                           +e.modifiers, +e.wheelDelta));
  };
  ASSERT_TRUE(server.start());
  LoopbackClient client;
  ASSERT_TRUE(client.connect(server.localPort()));
  // One InputEvent in its byte-packed layout: 16-bit fields at odd offsets; bytes after the
  // first twelve are ignored.
  std::vector<uint8_t> event{3, 2, 3, 0xE9, 0x00, 0x78, 0x56, 0x41, 0x03, 0x88, 0xFF, 0x77};
  event.resize(1024, 9);
  auto stream = framed({{1, 2, 3}, event, {}});
  stream.insert(stream.end(), {0x01, 0x04, 0, 0});  // 1025 bytes announced
  ASSERT_TRUE(client.write(stream));
  ASSERT_TRUE(waitFor([&] { return log.contains("TCP input message too large: 1025 bytes"); }));
  EXPECT_TRUE(log.contains("TCP input message too small: 3 bytes"));
  EXPECT_EQ(events.all(), std::vector<std::string>{"3 2 3 233 22136 65 3 -120"});
}
