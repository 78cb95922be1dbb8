// The video, audio and input channels on loopback, with clients written here.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/details/null_mutex.h>

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
  Bytes data{uint8_t(number), uint8_t(number >> 8)};
  data.resize(size, 0x5A);
  return data;
}

// Reads size bytes in pieces of 16 KiB with a pause of 5 ms before each, so at most 3.2 MB a
// second however fast they come; fewer when the connection ends or a piece does not come.
Bytes readSlowly(LoopbackClient& client, size_t size) {
  Bytes bytes;
  while (bytes.size() < size) {
    std::this_thread::sleep_for(5ms);
    const auto piece = client.read(std::min<size_t>(16384, size - bytes.size()));
    if (piece.empty()) break;
    bytes.insert(bytes.end(), piece.begin(), piece.end());
  }
  return bytes;
}

#ifndef _WIN32
// A log sink that holds the first thread logging a message that contains `text` until
// open() is called (or a generous limit has passed); any thread may log into it.
class LogGate : public spdlog::sinks::base_sink<spdlog::details::null_mutex> {
 public:
  explicit LogGate(std::string text) : text(std::move(text)) {}
  bool waitHeld() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, kWait, [&] { return held; });
  }
  void open() {
    std::lock_guard lock(mutex);
    opened = true;
    changed.notify_all();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    if (std::string_view(msg.payload.data(), msg.payload.size()).find(text) == std::string_view::npos) return;
    std::unique_lock lock(mutex);
    if (held) return;
    held = true;
    changed.notify_all();
    changed.wait_for(lock, 4 * kWait, [&] { return opened; });
  }
  void flush_() override {}

 private:
  const std::string text;
  std::mutex mutex;
  std::condition_variable changed;
  bool held = false;
  bool opened = false;
};
#endif

// Records of the video channel: type byte, then the naturally aligned layout.
const Bytes kInputBody{3, 7, 1, 4, 0xAA, 0x34, 0x12, 0x78, 0x56, 2, 5, 0x88, 0xFF};
const Bytes kFeedbackBody{4, 1, 2, 3, 4, 5, 6, 7, 8, 12, 0, 0x2C, 0x01};

}  // namespace

TEST(VideoChannel, PacketsCallbacksAndReplacedBrokenOrStalledClients) {
  LogCapture log;
  std::atomic<int> calls[4] = {};  // outlives the channels whose callbacks count into it
  TcpTransportServer server(0, 1s,
                            size_t{128} * 1024);  // a client that takes nothing for a second is dropped
  ASSERT_TRUE(server.start());
  const auto roundTrip = [&](LoopbackClient& client, uint8_t stream, const Bytes& unit, bool key) {
    server.sendVideoFrame(stream, unit.data(), unit.size(), key);
    return client.read(20 + unit.size());
  };
  // The send time in 90 kHz ticks of the steady clock, read here before and after.
  const auto ticks = [] {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return uint32_t(uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now).count()) * 9 / 100);
  };

  server.sendVideoFrame(1, kInputBody.data(), 5, true);  // no client: dropped, no number taken
  LoopbackClient first, second, stalled;
  ASSERT_TRUE(first.connect(server.localPort()) && waitFor([&] { return server.isClientConnected(); }));
  // Headers without the time: the payload length saturates while the prefix counts on.
  const std::tuple<uint8_t, size_t, bool, Bytes> cases[] = {
      {7, 5, true, {21, 0, 0, 0, 1, 1, 7, 1, 0, 0, 13, 0, 1, 0, 1, 0}},
      {9, 100000, false, {0xB0, 0x86, 1, 0, 1, 1, 9, 1, 1, 0, 0xFF, 0xFF, 3, 0, 1, 0}}};
  for (const auto& [stream, size, key, header] : cases) {
    const uint32_t before = ticks();
    auto p = roundTrip(first, stream, numbered(size, 0xA0A1), key);
    ASSERT_EQ(p.size(), 20 + size);
    EXPECT_LE(le(p, 12, 4) - before, ticks() - before);
    EXPECT_TRUE(std::equal(p.begin() + 20, p.end(), numbered(size, 0xA0A1).begin()));
    p.erase(p.begin() + 12, p.begin() + 16);
    p.resize(16);
    EXPECT_EQ(p, header);
  }
  // A newer client replaces the first, and the numbers run on.
  ASSERT_TRUE(second.connect(server.localPort()));
  EXPECT_TRUE(first.waitClosed());
  EXPECT_EQ(le(roundTrip(second, 1, {9}, false), 8, 2), 2u);

  // Callbacks may be assigned while records arrive, here and on the input channel; no second start.
  TcpInputServer input(0);
  LoopbackClient inputClient;
  ASSERT_TRUE(input.start() && inputClient.connect(input.localPort()));
  EXPECT_FALSE(server.start());
  EXPECT_FALSE(input.start());
  std::atomic<bool> feeding{true};
  std::thread feeder([&] {
    const auto records = framed({{16, 9}, kInputBody, kFeedbackBody});
    while (feeding && second.write(records) && inputClient.write(framed({Bytes(12, 1)}))) {
    }
  });
  EXPECT_TRUE(waitFor([&] {
    server.onKeyframeRequest = [&](uint8_t) { ++calls[0]; };
    server.setClientInputCallback([&](const ClientInput&) { ++calls[1]; });
    server.setClientFeedbackCallback([&](const ClientFeedback&) { ++calls[2]; });
    input.onInputEvent = [&](const InputEvent&) { ++calls[3]; };
    return std::all_of(std::begin(calls), std::end(calls), [](const auto& n) { return n > 300; });
  }));
  feeding = false;
  feeder.join();
  server.onKeyframeRequest = [](uint8_t id) { spdlog::info("key {}", id); };
  for (int i = 0; i < 100; ++i) {  // connections that reset at once
    LoopbackClient flood;
    ASSERT_TRUE(flood.connect(server.localPort()));
    if (i % 2) flood.write({1, 0});
    flood.reset();
  }
  // After them a client with a small window is served, and then reads nothing for a while.
  stalled.setReceiveBuffer(4096);
  ASSERT_TRUE(stalled.connect(server.localPort()) && stalled.write(framed({{16, 42}})));
  ASSERT_TRUE(waitFor([&] { return log.contains("key 42"); }));

  // Frames without room cost no waiting: the first asks for a keyframe at once, and its stream
  // waits for one while stream 2 goes on. Those that go out are whole and numbered on.
  const size_t size = size_t{16} * 1024;
  uint16_t refused = 0;
  while (refused < 1000 && !log.contains("key 1"))
    server.sendVideoFrame(1, numbered(size, refused++).data(), size, false);
  ASSERT_EQ(log.count("key 1"), 1u);
  for (uint16_t n = 0; n + 1 < refused; ++n) {
    const auto p = readPacket(stalled);
    ASSERT_EQ(p.size(), 20 + size);
    ASSERT_EQ(le(p, 8, 2), 3u + n);
    ASSERT_TRUE(std::equal(p.begin() + 20, p.end(), numbered(size, n).begin()));
  }
  const std::pair<uint8_t, bool> after[] = {{1, false}, {2, false}, {1, true}, {1, false}};
  for (uint16_t i = 0; i < 4; ++i)
    server.sendVideoFrame(after[i].first, numbered(10, i).data(), 10, after[i].second);
  for (uint16_t i = 1; i < 4; ++i) {
    const auto p = readPacket(stalled);
    ASSERT_EQ(p.size(), 30u);
    EXPECT_EQ((Bytes{uint8_t(le(p, 8, 2) - refused), p[6], p[16], p[20]}),
              (Bytes{uint8_t(i + 1), after[i].first, uint8_t(after[i].second ? 1 : 3), uint8_t(i)}));
  }
  // A frame larger than the whole backlog goes on its own, once nothing else waits.
  const auto large = numbered(200000, 7);
  ASSERT_TRUE(waitFor([&] {
    server.sendVideoFrame(1, large.data(), large.size(), true);
    return stalled.socket().available() > 0;
  }));
  const auto p = readPacket(stalled);
  EXPECT_TRUE(p.size() == 200020 && std::equal(p.begin() + 20, p.end(), large.begin()));
  // One that takes nothing for the limit while packets wait is dropped.
  const Bytes unit(4 << 20, 0x11);
  EXPECT_TRUE(waitFor([&] {
    server.sendVideoFrame(1, unit.data(), unit.size(), true);
    return !server.isClientConnected();
  }));
  EXPECT_EQ(log.count("TCP send failed: "), 1u);
}

TEST(AudioChannel, FramingSequenceAndAClientThatFallsBehind) {
  LogCapture log;
  TcpAudioServer server(0, 1s);
  ASSERT_TRUE(server.start());
  const Bytes opus(100, 0x3C);
  server.sendAudioData(1, opus.data(), opus.size());  // no client: dropped, no number taken
  LoopbackClient client;  // with a small window; it reads one packet, then nothing for a while
  client.setReceiveBuffer(4096);
  ASSERT_TRUE(client.connect(server.localPort()) && waitFor([&] { return server.isClientConnected(); }));
  server.sendAudioData(5, opus.data(), opus.size());
  auto packet = readPacket(client);
  const auto now = std::chrono::steady_clock::now().time_since_epoch();  // milliseconds of the steady clock
  ASSERT_EQ(packet.size(), 116u);
  EXPECT_LE(uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) - le(packet, 12, 4),
            1000u);
  EXPECT_TRUE(std::equal(opus.begin(), opus.end(), packet.begin() + 16));
  packet.resize(12);
  EXPECT_EQ(packet, (Bytes{112, 0, 0, 0, 1, 2, 5, 0, 0, 0, 104, 0}));
  // Packets that find no room are dropped at once; the numbers run on over those that go out.
  for (uint16_t n = 0; n < 300; ++n) server.sendAudioData(1, numbered(4000, n).data(), 4000);
  std::vector<uint16_t> numbers;
  for (uint16_t next = 1000; numbers.empty() || numbers.back() < 1000;) {  // offering more each time
    ASSERT_TRUE(waitFor([&] {
      server.sendAudioData(1, numbered(4000, next++).data(), 4000);
      return client.socket().available() > 0;
    }));
    const auto p = readPacket(client);
    ASSERT_EQ(p.size(), 4016u);
    ASSERT_EQ(le(p, 8, 2), 1u + numbers.size());
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

// A client stream that ends between two records (or inside a length) drops the client; one that
// ends inside a body only ends reading: the client stays until a newer one replaces it, and the
// partial record is never delivered. The video and the input channel alike.
TEST(ChannelReads, AnEndBetweenRecordsDropsTheClientAnEndInsideABodyKeepsIt) {
  const std::pair<Bytes, bool> tails[] = {
      {{}, false}, {{20, 0}, false}, {{20, 0, 0, 0}, true}, {{20, 0, 0, 0, 3, 7, 1}, true}};
  // Each tail after one whole record, on a fresh channel from `make`, which counts the records.
  const auto check = [&](const std::string& kind, const Bytes& record, auto make) {
    for (const auto& [tail, inBody] : tails) {
      SCOPED_TRACE(kind + "channel, bytes after the record: " + std::to_string(tail.size()));
      LogCapture log;
      std::atomic<int> delivered{0};
      const auto server = make(delivered);
      ASSERT_TRUE(server->start());
      LoopbackClient client, next;
      Bytes bytes = framed({record});
      bytes.insert(bytes.end(), tail.begin(), tail.end());
      ASSERT_TRUE(client.connect(server->localPort()) && client.write(bytes));
      client.socket().shutdown(boost::asio::socket_base::shutdown_send);
      const std::string ended = kind + (inBody ? "read error: " : "client disconnected: ");
      // The line is logged on the channel's thread just before a dropped client is let go.
      ASSERT_TRUE(waitFor([&] { return log.contains(ended) && server->isClientConnected() == inBody; }))
          << "still the client: " << server->isClientConnected();
      EXPECT_EQ(delivered, 1);
      // Accepted after the end was handled: it replaces the kept client, if any.
      ASSERT_TRUE(next.connect(server->localPort()));
      ASSERT_TRUE(waitFor([&] { return log.count(kind + "client connected from") == 2; }));
      EXPECT_EQ(log.count("Closing existing " + kind + "client connection"), inBody ? 1u : 0u);
      EXPECT_EQ(log.count(kind + "read error: ") + log.count(kind + "client disconnected: "), 1u);
      EXPECT_EQ(delivered, 1);
    }
  };
  check("TCP ", kInputBody, [](std::atomic<int>& delivered) {
    auto server = std::make_unique<TcpTransportServer>(0);
    server->setClientInputCallback([&delivered](const ClientInput&) { ++delivered; });
    return server;
  });
  check("TCP input ", Bytes(12, 1), [](std::atomic<int>& delivered) {
    auto server = std::make_unique<TcpInputServer>(0);
    server->onInputEvent = [&delivered](const InputEvent&) { ++delivered; };
    return server;
  });
}

// A client that reads slowly but never stops keeps its connection, however long one packet
// takes: the limit is on a write that makes no progress, not on the time of a write. The
// limit here is 500 ms; a packet of 4 MiB, taken at most 3.2 MB a second, needs more than a
// second beyond what the sockets buffer. The video and the audio channel alike.
TEST(ChannelSendLimits, AClientThatReadsSlowlyButSteadilyIsNeverDropped) {
  LogCapture log;
  const auto unit = numbered(size_t{4} << 20, 0x4D4D);
  const auto check = [&](auto& server, size_t headerSize, auto send) {
    ASSERT_TRUE(server.start());
    LoopbackClient client;
    client.setReceiveBuffer(16384);
    ASSERT_TRUE(client.connect(server.localPort()) && waitFor([&] { return server.isClientConnected(); }));
    send(unit);
    const auto packet = readSlowly(client, headerSize + unit.size());
    ASSERT_EQ(packet.size(), headerSize + unit.size());
    EXPECT_TRUE(std::equal(unit.begin(), unit.end(), packet.begin() + headerSize));
    EXPECT_TRUE(server.isClientConnected());
    // The connection goes on.
    send(Bytes{1, 2, 3});
    EXPECT_EQ(readPacket(client).size(), headerSize + 3);
  };
  {
    SCOPED_TRACE("video");
    TcpTransportServer video(0, 500ms);
    check(video, 20, [&](const Bytes& data) { video.sendVideoFrame(1, data.data(), data.size(), true); });
  }
  {
    SCOPED_TRACE("audio");
    TcpAudioServer audio(0, 500ms);
    check(audio, 16, [&](const Bytes& data) { audio.sendAudioData(1, data.data(), data.size()); });
  }
  EXPECT_EQ(log.count("send failed"), 0u);
}

#ifndef _WIN32
// A connection whose peer has reset before it was accepted still replaces the audio client:
// the older client is closed, the failure to read the new peer's address is logged, and the
// new connection is the client until a write to it fails. (Windows fails the accept of such
// a connection instead; the channel then waits for the next one.)
TEST(AudioChannel, ANewConnectionWhosePeerIsGoneStillReplacesTheClient) {
  LogCapture log;
  auto gate = std::make_shared<LogGate>("TCP audio client connected from");
  spdlog::default_logger()->sinks().push_back(gate);
  TcpAudioServer server(0, 1s);
  ASSERT_TRUE(server.start());
  LoopbackClient first, gone, next;
  ASSERT_TRUE(first.connect(server.localPort()));
  // The channel's thread is held while it reports the first client, so the next connection
  // waits to be accepted and resets meanwhile.
  ASSERT_TRUE(gate->waitHeld());
  ASSERT_TRUE(gone.connect(server.localPort()));
  gone.reset();
  gate->open();
  ASSERT_TRUE(waitFor([&] { return log.contains("Failed to configure TCP audio socket: "); }));
  EXPECT_EQ(log.count("TCP audio: Closing previous client connection"), 1u);
  EXPECT_TRUE(first.waitClosed());
  EXPECT_EQ(log.count("TCP audio client connected from"), 1u);
  EXPECT_TRUE(server.isClientConnected());
  const Bytes opus(100, 0x3C);
  EXPECT_TRUE(waitFor([&] {
    server.sendAudioData(1, opus.data(), opus.size());
    return !server.isClientConnected();
  }));
  EXPECT_EQ(log.count("TCP audio send failed: "), 1u);
  // A client after it is served.
  ASSERT_TRUE(next.connect(server.localPort()) && waitFor([&] { return server.isClientConnected(); }));
  server.sendAudioData(1, opus.data(), opus.size());
  EXPECT_EQ(readPacket(next).size(), 116u);
}
#endif
