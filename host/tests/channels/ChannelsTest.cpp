// The video, audio and input channels and the discovery responder on loopback, with clients
// written here.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>
#include <spdlog/fmt/fmt.h>

#include "network/DiscoveryResponder.h"
#include "network/TcpAudioServer.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"
#include "support/LogCapture.h"
#include "support/LoopbackClient.h"

using namespace quorvane::host;
using namespace quorvane::test;
namespace asio = boost::asio;

namespace {

// Connects and waits until the server has logged one more such connection.
inline bool connectSeen(LoopbackClient& client, uint16_t port, const LogCapture& log,
                        const std::string& line) {
  const size_t before = log.count(line);
  return client.connect(port) && waitFor([&] { return log.count(line) > before; });
}

inline bool logWait(const LogCapture& log, const std::string& text) {
  return waitFor([&] { return log.contains(text); });
}

// What a server's callbacks handed over, from its own thread.
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
  size_t size() { return all().size(); }
  bool waitForSize(size_t n) {
    return waitFor([&] { return size() >= n; });
  }

 private:
  std::mutex mutex;
  std::vector<std::string> items;
};

// A length-prefixed message: little-endian 32-bit length, then the body.
inline std::vector<uint8_t> framed(const std::vector<uint8_t>& body) {
  const auto length = static_cast<uint32_t>(body.size());
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &length, 4);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

inline std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline uint32_t u32(const std::vector<uint8_t>& bytes, size_t at, size_t size = 4) {
  uint32_t value = 0;
  for (size_t i = size; i-- > 0;) value = value << 8 | bytes[at + i];
  return value;
}
inline uint16_t u16(const std::vector<uint8_t>& bytes, size_t at) {
  return static_cast<uint16_t>(u32(bytes, at, 2));
}

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

  // A server with the given write bound, and a client with a small window that never reads.
  void restartWithStalledClient(std::chrono::milliseconds sendTimeout, LoopbackClient& stalled) {
    server.reset();
    startServer(sendTimeout);
    stalled.setReceiveBuffer(4096);
    connect(stalled);
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

TEST_F(VideoChannel, NewerClientReplacesOlderAndBrokenOnesGo) {
  LoopbackClient first, second;
  connect(first);
  connect(second);
  EXPECT_TRUE(first.waitClosed());
  EXPECT_EQ(roundTrip(second, 4, {1, 2})[6], 4);
  second.write(framed(kInputBody));
  ASSERT_TRUE(received.waitForSize(1));
  EXPECT_EQ(received.all()[0], kInputEvent);

  second.write({100, 0, 0, 0, 4, 4, 4});  // and closes mid-record
  second.socket().close();
  ASSERT_TRUE(logWait(log, "TCP read error:"));
  // A flood of connections that reset at once, some before the host has seen them.
  for (int i = 0; i < 100; ++i) {
    LoopbackClient flood;
    ASSERT_TRUE(flood.connect(server->localPort()));
    if (i % 2) flood.write({1, 0});
    flood.reset();
  }
  expectServesGoodClient();
}

TEST_F(VideoChannel, ClientThatStopsReadingIsDroppedWithinTheBound) {
  LoopbackClient stalled;
  restartWithStalledClient(300ms, stalled);
  const std::vector<uint8_t> unit(1 << 20, 0x11);
  // Each call returns within the bound; one that finds no room drops the client.
  for (int calls = 0; server->isClientConnected() && calls < 50; ++calls) {
    server->sendVideoFrame(1, unit.data(), unit.size(), false);
  }
  EXPECT_FALSE(server->isClientConnected());
  expectServesGoodClient();
}

TEST_F(VideoChannel, StopWakesABlockedWriter) {
  TcpTransportServer never(0);  // never started: stop does nothing
  never.stop();
  EXPECT_FALSE(log.contains("TCP transport server stopped"));

  LoopbackClient stalled;
  restartWithStalledClient(5000ms, stalled);
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

  // A newer client that stops reading replaces the first; the writer returns within its bound
  // and drops it.
  LoopbackClient stalled;
  stalled.setReceiveBuffer(4096);
  connect(stalled);
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

TEST(InputChannel, RecordsSplitTrailingShortEmptyAndTooLarge) {
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
  // One InputEvent in its byte-packed layout: 16-bit fields at odd offsets.
  const std::vector<uint8_t> event{3, 2, 3, 0xE9, 0x00, 0x78, 0x56, 0x41, 0x03, 0x88, 0xFF, 0x77};
  auto withTrail = concat({event, event});  // the second event is ignored
  withTrail[12] = 9;
  const auto stream = concat({framed({}), framed(event), framed({1, 2, 3}), framed(withTrail)});
  client.write(stream);
  ASSERT_TRUE(logWait(log, "TCP input message too small: 3 bytes"));
  for (uint8_t byte : stream) client.write({byte});
  ASSERT_TRUE(events.waitForSize(4));
  EXPECT_EQ(events.all(), std::vector<std::string>(4, "3 2 3 233 22136 65 3 -120"));

  auto largest = event;
  largest.resize(1024, 0);
  client.write(concat({framed(largest), {0x01, 0x04, 0, 0}, event}));  // then 1025 bytes
  ASSERT_TRUE(logWait(log, "TCP input message too large: 1025 bytes"));
  EXPECT_EQ(events.size(), 5u);
}

TEST(Discovery, RequestAndReplyBytes) {
  LogCapture log;
  DiscoveryResponder responder("Workstation", 9876, 0);
  ASSERT_TRUE(responder.start());
  ASSERT_TRUE(responder.start());  // already running: warns, no second socket
  EXPECT_TRUE(log.contains("Discovery responder already running"));

  asio::io_context io;
  asio::ip::udp::socket client(io, asio::ip::udp::v4());
  const auto send = [&](const std::string& bytes) {
    client.send_to(asio::buffer(bytes), {asio::ip::make_address_v4("127.0.0.1"), responder.boundUdpPort()});
  };
  const auto receive = [&] {
    std::string buffer(2048, '\0');
    buffer.resize(waitFor([&] { return client.available() > 0; }) ? client.receive(asio::buffer(buffer)) : 0);
    return buffer;
  };
  const std::string reply(
      "QUORVANE_HOST\0Workstation\0"
      "9876\0",
      31);

  send("QUORVANE_DISCOVER");
  EXPECT_EQ(receive(), reply);
  EXPECT_TRUE(log.contains("Discovery request from 127.0.0.1 (Unknown)"));

  // Ignored: a wrong character, too short, and longer than 1023 bytes.
  send("QUORVANE_DISCOVEr");
  send("QUORVANE_DISCOVE");
  send("QUORVANE_DISCOVER" + std::string(1100, 'x'));
  send(std::string("QUORVANE_DISCOVER:Quest3\0tail", 29));
  EXPECT_EQ(receive(), reply);
  EXPECT_TRUE(log.contains("Discovery request from 127.0.0.1 (Quest3)"));
  send("QUORVANE_DISCOVER!");  // 18 bytes: still no name
  EXPECT_EQ(receive(), reply);
  EXPECT_EQ(log.count("(Unknown)"), 2u);
  EXPECT_EQ(log.count("Discovery request from"), 3u);
  EXPECT_FALSE(log.contains("Discovery recvfrom error"));

  responder.stop();
  responder.stop();
  EXPECT_EQ(log.count("Discovery responder stopped"), 1u);
  EXPECT_EQ(DiscoveryResponder::buildResponse("", 0), std::string("QUORVANE_HOST\0\0"
                                                                  "0\0",
                                                                  17));
}
