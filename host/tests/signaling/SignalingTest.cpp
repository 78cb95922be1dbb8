// The signaling wire texts, the request handling, and the server with loopback WebSocket clients.
#include <algorithm>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "network/SignalingServer.h"
#include "network/SignalingServerRequestHandler.h"
#include "protocol/Wire.h"
#include "support/LogCapture.h"
#include "support/WebSocketClient.h"

using nlohmann::json;
using quorvane::host::SignalingServer;
using quorvane::host::SignalingServerRequestHandler;
using namespace quorvane::protocol;
using namespace quorvane::test;

namespace {

const auto kSender = [] { return std::optional<std::string>("10.0.0.2"); };
const char* kStartFailed = R"({"code":1001,"message":"Failed to start stream","type":"error"})";
const char* kWelcome =
    R"({"audioPort":9945,"hostName":"Quorvane Host","hostVersion":"1.0.5","inputPort":9946,"protocol":"tcp",)"
    R"("requiresAuth":false,"supportedCodecs":["h264"],"type":"welcome","videoPort":9944})";

// A server whose waits run its ready handlers beside its I/O thread, as the main loop does.
class SignalingServerTest : public ::testing::Test {
 protected:
  explicit SignalingServerTest(
      std::chrono::milliseconds handshakeTimeout = SignalingServer::kHandshakeTimeout)
      : server(0, handshakeTimeout) {}
  void SetUp() override {
    ASSERT_TRUE(server.start());
    port = server.getPort();
  }
  bool clientsAre(size_t n) {
    return waitFor([&] {
      server.poll();
      return server.getClientCount() == n;
    });
  }

  LogCapture log;
  SignalingServer server;
  uint16_t port = 0;
};

// The same with a short time limit for the WebSocket handshake.
class ShortHandshake : public SignalingServerTest {
 protected:
  ShortHandshake() : SignalingServerTest(200ms) {}
};

}  // namespace

TEST(SignalingWire, RequestNumbers) {
  // Each value, then what it reads as as uint32 and as int32 ("-": reading it throws).
  std::istringstream numbers(
      "0 0 0  12.9 12 12  4294967297 1 1  -1 4294967295 -1  true 1 1  4294967295.7 4294967295 -  "
      "2147483648 2147483648 -2147483648  18446744073709551615 4294967295 -1  -7.9 - -7  4294967296.0 - -  "
      "2147483648.0 2147483648 -  -2147483649.0 - -  1e300 - -  \"12\" - -  null - -  [1] - -");
  for (std::string value, asUint32, asInt32; numbers >> value >> asUint32 >> asInt32;) {
    const auto read = [&](auto reader) {
      try {
        return std::to_string(reader(json::parse(R"({"v":)" + value + "}"), "v"));
      } catch (const std::exception&) {
        return std::string("-");
      }
    };
    EXPECT_EQ(read(readUint32Key), asUint32) << value;
    EXPECT_EQ(read(readInt32Key), asInt32) << value;
  }
}

TEST(SignalingRequests, RepliesWithAndWithoutCallbacks) {
  SignalingServerRequestHandler bare, handler;
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {R"({"type":"hello"})", kWelcome},
      {R"({"type":"stream_start","windowId":12.9})", kStartFailed},
      {R"({"type":"window_list_request"})", R"({"type":"window_list","windows":[]})"},
      {R"({"type":"window_resize","streamId":-3,"windowId":9,"width":800,"height":600})",
       R"({"height":600,"streamId":-3,"success":false,"type":"window_resized","width":800,"windowId":9})"},
      {R"({"type":"stream_unsubscribe","streamId":300})", R"({"streamId":300,"type":"stream_stopped"})"},
      {R"({"type":"ping","timestamp":4294967297})", R"({"timestamp":1,"type":"pong"})"},
      {R"({"type":"keyframe_request","streamId":1})", std::nullopt}};
  for (const auto& [request, reply] : cases) EXPECT_EQ(bare.handle(request, kSender), reply) << request;

  // Stream ids count from 1, and a refused start spends its id.
  handler.setStreamStartCallback([](uint32_t, uint8_t stream) { return stream % 2 == 0; });
  EXPECT_EQ(handler.handle(R"({"type":"stream_start","windowId":5})", kSender), kStartFailed);
  EXPECT_EQ(
      handler.handle(R"({"type":"stream_subscribe","windowId":4294967295})", kSender),
      R"({"codec":"h264","height":0,"streamId":2,"type":"stream_started","width":0,"windowId":4294967295})");
  WindowInfo window{
      0x1a2b3c, "Caf\xc3\xa9 \"n\"\\\n", "notes.exe", "Notepad", -8, 20, 1280, 720, false, true, true,
      "iVBO"};
  handler.setWindowListProvider([&] { return std::vector<WindowInfo>{window}; });
  // Compact, keys in byte order, text as raw UTF-8; text that is not UTF-8 cannot be sent.
  EXPECT_EQ(
      handler.handle(R"({"type":"window_list_request"})", kSender),
      "{\"type\":\"window_list\",\"windows\":[{\"className\":\"Notepad\",\"height\":720,\"iconBase64\":"
      "\"iVBO\",\"id\":1715004,\"isMaximized\":true,\"isMinimized\":false,\"isVisible\":true,"
      "\"processName\":\"notes.exe\",\"title\":\"Caf\xc3\xa9 \\\"n\\\"\\\\\\n\",\"width\":1280,\"x\":-8,"
      "\"y\":20}]}");
  window.title = "bad \xff byte";
  EXPECT_THROW(handler.handle(R"({"type":"window_list_request"})", kSender), json::type_error);
}

TEST(SignalingRequests, StreamIdsWrapFrom255ToZero) {
  // Every request takes the next id, refused or not: 1 .. 255, then 0, 1, 2.
  SignalingServerRequestHandler handler;
  std::vector<int> given, replied, expected;
  handler.setStreamStartCallback([&](uint32_t, uint8_t stream) {
    given.push_back(stream);
    return stream != 255;
  });
  for (int i = 1; i <= 258; ++i) {
    expected.push_back(i % 256);
    const json reply = json::parse(*handler.handle(R"({"type":"stream_start","windowId":3})", kSender));
    replied.push_back(reply.value("streamId", -1));
  }
  EXPECT_EQ(given, expected);
  expected[254] = -1;  // the refused one is answered with the error
  EXPECT_EQ(replied, expected);
}

TEST_F(SignalingServerTest, ConversationAndStreamConfigReachEveryClientEvenMidHandshake) {
  server.setClientConnectedCallback(
      [](const std::string& address) { spdlog::info("hello from {}", address); });
  server.setKeyframeRequestCallback([](uint8_t id) { spdlog::info("key {}", id); });
  WebSocketClient first(port), second(port);
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(second.connectTcp());
  ASSERT_TRUE(clientsAre(2));  // counted before the upgrade
  EXPECT_EQ(first.request(R"({"type":"hello"})"), kWelcome);
  // Bad messages get no reply and the conversation goes on; binary messages read like text.
  for (const char* text : {"{not json", "[1,2,3]", R"({"type":5})", R"({"no":"type"})", ""})
    ASSERT_TRUE(first.send(text));
  ASSERT_TRUE(first.send(R"({"type":"keyframe_request","streamId":7})", true));
  EXPECT_EQ(first.request(R"({"type":"ping","timestamp":-5})"), R"({"timestamp":-5,"type":"pong"})");
  EXPECT_TRUE(log.contains("hello from 127.0.0.1") && log.contains("key 7"));

  server.sendStreamConfig({"", 0x42, 1, 1280, 720, "video/avc", "Z2QAKA==", "aO4=", 15000, 72});
  const std::string expected =
      R"({"codec":"video/avc","height":720,"pps":"aO4=","sps":"Z2QAKA==","streamId":1,"targetBitrate":15000,)"
      R"("targetFps":72,"type":"stream_config","width":1280,"windowId":66})";
  EXPECT_EQ(first.read(), expected);
  ASSERT_TRUE(second.handshake());  // held until the handshake is done, and none of the other's replies
  EXPECT_EQ(second.read(), expected);
  first.closeCleanly();
  EXPECT_TRUE(clientsAre(1));
  EXPECT_FALSE(SignalingServer(port).start());  // the port is not shared
}

TEST_F(ShortHandshake, StuckSilentAndBrokenClientsAreRemoved) {
  // A client that never reads is closed once its queue is full.
  WebSocketClient stuck(port);
  ASSERT_TRUE(stuck.connect());
  StreamConfigMessage big{"", 1, 1, 64, 64, "video/avc", std::string(1 << 20, 'Q'), "", 1, 1};
  for (int i = 0; i < 96 && server.getClientCount() > 0; ++i) server.sendStreamConfig(big);
  EXPECT_TRUE(clientsAre(0));
  EXPECT_EQ(log.count("exceeds 8388608 bytes"), 1u);
  // Silent after connecting: the handshake's time limit ends it.
  WebSocketClient silent(port);
  ASSERT_TRUE(silent.connectTcp());
  EXPECT_TRUE(clientsAre(1));
  EXPECT_TRUE(clientsAre(0));
  EXPECT_FALSE(silent.read());
  // Connections that reset after, before or during the handshake; then a new client is served.
  WebSocketClient reset(port), good(port);
  ASSERT_TRUE(reset.connect());
  reset.reset();
  for (int i = 0; i < 200; ++i) {
    WebSocketClient flood(port);
    flood.connectTcp();
    flood.reset();
  }
  EXPECT_TRUE(clientsAre(0));
  ASSERT_TRUE(good.connect());
  EXPECT_EQ(good.request(R"({"type":"ping","timestamp":7})"), R"({"timestamp":7,"type":"pong"})");
}

#ifndef _WIN32
TEST_F(SignalingServerTest, AcceptGoesOnAfterRunningOutOfDescriptors) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer runtime itself needs descriptors for its checks";
#endif
  WebSocketClient client(port);
  client.socket().open(asio::ip::tcp::v4());  // before the descriptors run out
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  const rlimit low{std::min<rlim_t>(old.rlim_cur, 4096), old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> held;  // every free descriptor, so the server's accept has none
  for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) held.push_back(fd);
  const bool failed = client.connectTcp() && waitFor([&] { return log.count("Accept failed: ") > 0; });
  for (const int fd : held) ::close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  ASSERT_TRUE(failed);
  // Accepting resumes by itself: the waiting connection is served.
  ASSERT_TRUE(client.handshake());
  EXPECT_EQ(client.request(R"({"type":"ping","timestamp":3})"), R"({"timestamp":3,"type":"pong"})");
}
#endif

TEST(SignalingRequests, TheStreamsAClientLeftRunningStopWhenItGoes) {
  SignalingServerRequestHandler handler;
  std::vector<int> given, stops;
  handler.setStreamStartCallback([&](uint32_t window, uint8_t stream) {
    given.push_back(stream);
    return window != 0;
  });
  handler.setStreamStopCallback([&](uint8_t stream) { stops.push_back(stream); });
  const int clients[3] = {};
  const void* const a = &clients[0];
  const void* const b = &clients[1];
  const void* const c = &clients[2];
  const auto start = [&](const void* client, uint32_t window) {
    const auto reply =
        handler.handle(json{{"type", "stream_start"}, {"windowId", window}}.dump(), kSender, client);
    return json::parse(*reply).value("streamId", -1);
  };
  const auto stop = [&](const void* client, int stream) {
    handler.handle(json{{"type", "stream_stop"}, {"streamId", stream}}.dump(), kSender, client);
  };

  // Of a's streams 1 to 3 (4 refused), a stops 2 and b stops 3: only 1 is left for a's end.
  for (const int expected : {1, 2, 3}) EXPECT_EQ(start(a, 5), expected);
  EXPECT_EQ(start(a, 0), -1);
  stop(a, 2);
  stop(b, 3 + 256);  // the low 8 bits name the stream
  EXPECT_EQ(handler.clientGone(a), std::vector<uint8_t>{1});
  EXPECT_EQ(handler.clientGone(a), std::vector<uint8_t>{});
  EXPECT_EQ(stops, (std::vector<int>{2, 3, 1}));

  // Ids come round after 255: c's start takes b's stream 5 over, so b's end stops nothing.
  EXPECT_EQ(start(b, 5), 5);
  for (int i = 0; i < 255; ++i) start(c, 0);
  EXPECT_EQ(start(c, 5), 5);
  EXPECT_EQ(handler.clientGone(b), std::vector<uint8_t>{});

  // While the stop of c's stream 5 runs, a start that gets id 5 is refused (its stop must not
  // end the new stream); the callback runs with no lock of the handler held.
  for (int i = 0; i < 255; ++i) start(b, 0);
  std::vector<int> startedWhileStopping;
  handler.setStreamStopCallback([&](uint8_t stream) {
    stops.push_back(stream);
    given.clear();
    startedWhileStopping.push_back(start(b, 7));
    startedWhileStopping.push_back(static_cast<int>(given.size()));
  });
  stops.clear();
  EXPECT_EQ(handler.clientGone(c), std::vector<uint8_t>{5});
  EXPECT_EQ(stops, std::vector<int>{5});
  EXPECT_EQ(startedWhileStopping, (std::vector<int>{-1, 0}));
  EXPECT_EQ(start(b, 7), 6);
}

TEST_F(SignalingServerTest, AClientThatGoesHasItsUnstoppedStreamsStoppedOnce) {
  std::mutex mutex;
  std::vector<int> stops;
  const auto stopped = [&] {
    std::lock_guard lock(mutex);
    return stops;
  };
  server.setStreamStartCallback([](uint32_t, uint8_t) { return true; });
  server.setStreamStopCallback([&](uint8_t stream) {
    std::lock_guard lock(mutex);
    stops.push_back(stream);
  });
  WebSocketClient closing(port), resetting(port), staying(port);
  const auto start = [](WebSocketClient& client) {
    return json::parse(client.request(R"({"type":"stream_start","windowId":9})")).value("streamId", -1);
  };
  ASSERT_TRUE(closing.connect() && resetting.connect() && staying.connect());
  for (const int expected : {1, 2, 3}) ASSERT_EQ(start(closing), expected);
  ASSERT_EQ(start(resetting), 4);
  ASSERT_EQ(start(resetting), 5);
  ASSERT_EQ(start(staying), 6);
  EXPECT_EQ(closing.request(R"({"type":"stream_stop","streamId":2})"),
            R"({"streamId":2,"type":"stream_stopped"})");

  const auto stopsAre = [&](size_t n) {
    return waitFor([&] {
      server.poll();
      return stopped().size() >= n;
    });
  };

  // A close frame, then a reset: each client's streams but the one it stopped, once.
  closing.closeCleanly();
  ASSERT_TRUE(stopsAre(3));
  resetting.reset();
  ASSERT_TRUE(stopsAre(5));
  EXPECT_TRUE(clientsAre(1));
  EXPECT_EQ(staying.request(R"({"type":"ping","timestamp":1})"), R"({"timestamp":1,"type":"pong"})");
  EXPECT_EQ(stopped(), (std::vector<int>{2, 1, 3, 4, 5}));
  EXPECT_EQ(log.count("Stopping stream "), 4u);

  // Streams still running when the server stops are the application's to end.
  server.stop();
  EXPECT_EQ(stopped().size(), 5u);
}

TEST_F(SignalingServerTest, EveryMessageOfTheHostIsATextMessage) {
  server.setStreamStartCallback([](uint32_t, uint8_t stream) { return stream == 2; });
  server.setWindowListProvider([] { return std::vector<WindowInfo>(1); });
  server.setWindowResizeCallback([](uint32_t, uint32_t, uint32_t) { return true; });
  WebSocketClient client(port);
  ASSERT_TRUE(client.connect());
  const std::pair<const char*, const char*> requests[] = {
      {R"({"type":"hello"})", "welcome"},
      {R"({"type":"window_list_request"})", "window_list"},
      {R"({"type":"stream_start","windowId":3})", "error"},
      {R"({"type":"stream_start","windowId":3})", "stream_started"},
      {R"({"type":"stream_stop","streamId":2})", "stream_stopped"},
      {R"({"type":"window_resize","streamId":2,"windowId":3,"width":64,"height":64})", "window_resized"},
      {R"({"type":"ping","timestamp":1})", "pong"}};
  for (const auto& [request, type] : requests) {
    client.lastWasText = false;
    const std::string reply = client.request(request);
    EXPECT_EQ(json::parse(reply).value("type", ""), type) << reply;
    EXPECT_TRUE(client.lastWasText) << type;
  }
  // Also after a binary request, and the broadcast stream configuration.
  ASSERT_TRUE(client.send(R"({"type":"ping","timestamp":2})", true));
  client.lastWasText = false;
  EXPECT_EQ(client.read(), R"({"timestamp":2,"type":"pong"})");
  EXPECT_TRUE(client.lastWasText);
  server.sendStreamConfig({"", 3, 2, 64, 64, "video/avc", "Z2QAKA==", "aO4=", 15000, 60});
  client.lastWasText = false;
  EXPECT_EQ(json::parse(client.read().value_or("{}")).value("type", ""), "stream_config");
  EXPECT_TRUE(client.lastWasText);
}
