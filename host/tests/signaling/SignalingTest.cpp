// The signaling messages' wire texts, the reading of every request word, and the server on
// loopback talked to by a WebSocket client written here.
#include <algorithm>
#include <array>
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "network/SignalingServer.h"
#include "network/SignalingServerImpl.h"
#include "network/SignalingServerRequestHandler.h"
#include "protocol/MessageType.h"
#include "protocol/StreamStartedMessage.h"
#include "protocol/WindowListMessage.h"
#include "protocol/Wire.h"
#include "support/LogCapture.h"
#include "support/LoopbackClient.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using net::ip::tcp;
using nlohmann::json;
using quorvane::host::SignalingServer;
using quorvane::host::SignalingServerImpl;
using quorvane::host::SignalingServerRequestHandler;
using namespace quorvane::protocol;
using namespace quorvane::test;

namespace {

const auto kSender = [] { return std::optional<std::string>("10.0.0.2"); };
const char* kStartFailed = R"({"code":1001,"message":"Failed to start stream","type":"error"})";

// A WebSocket client whose every wait has a deadline.
class Client : public LoopbackClient {
 public:
  explicit Client(uint16_t port) : port(port) {}

  bool connectTcp() { return LoopbackClient::connect(port); }  // no upgrade yet
  bool handshake() {
    return run([&](auto done) { ws.async_handshake("127.0.0.1", "/", done); }) == beast::error_code();
  }
  bool connect() { return connectTcp() && handshake(); }
  bool send(const std::string& text, bool binary = false) {
    beast::error_code ec;
    ws.binary(binary);
    ws.write(net::buffer(text), ec);
    return !ec;
  }
  // The next message, or nothing when none came in time or the connection ended.
  std::optional<std::string> read() {
    beast::flat_buffer buffer;
    lastError = run([&](auto done) { ws.async_read(buffer, done); }).value_or(net::error::timed_out);
    if (lastError) return std::nullopt;
    return beast::buffers_to_string(buffer.data());
  }
  std::string request(const std::string& text) {
    EXPECT_TRUE(send(text));
    return read().value_or("<nothing>");
  }
  void closeCleanly() {
    run([&](auto done) { ws.async_close(websocket::close_code::normal, done); });
  }

  beast::error_code lastError;

 private:
  uint16_t port;
  websocket::stream<tcp::socket&> ws{socket()};
};

class SignalingServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = std::make_unique<SignalingServer>(0);
    ASSERT_TRUE(server->start());
    port = server->getPort();
    // The main loop's poll runs beside the I/O thread, as in the application.
    mainLoop = std::thread([this] {
      while (!quit) {
        server->poll();
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  void TearDown() override {
    quit = true;
    mainLoop.join();
    server.reset();
  }
  bool clientsGone() {
    return waitFor([&] { return server->getClientCount() == 0; });
  }

  // A new client has its whole conversation answered.
  void expectServesGoodClient() {
    Client client(port);
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(client.request(R"({"type":"ping","timestamp":77})"), R"({"timestamp":77,"type":"pong"})");
    EXPECT_EQ(client.request(R"({"type":"window_list_request"})").rfind(R"({"type":"window_list",)", 0), 0u);
    client.closeCleanly();
  }

  LogCapture log;
  std::unique_ptr<SignalingServer> server;
  uint16_t port = 0;
  std::atomic<bool> quit{false};
  std::thread mainLoop;
};

}  // namespace

TEST(SignalingWire, RecordsAreWrittenCompactInByteOrderWithRawUtf8) {
  StreamStartedMessage started{"stream_started", 4294967295u, 255, 0, 0, "h264"};
  EXPECT_EQ(dumpWire(json(started)),
            R"({"codec":"h264","height":0,"streamId":255,"type":"stream_started","width":0,)"
            R"("windowId":4294967295})");
  EXPECT_EQ(dumpWire(json(WindowListMessage{"window_list", {}})), R"({"type":"window_list","windows":[]})");

  WindowInfo first{0x1a2b3c, "", "notes.exe", "Notepad", -8, 20, 1280, 720, false, true, true, ""};
  first.title = "Caf\xc3\xa9 \"notes\"\\\n\xe2\x9c\x93";
  WindowInfo second;
  second.id = 7;
  second.iconBase64 = "iVBORw0=";
  EXPECT_EQ(dumpWire(json(WindowListMessage{"window_list", {first, second}})),
            "{\"type\":\"window_list\",\"windows\":["
            "{\"className\":\"Notepad\",\"height\":720,\"iconBase64\":\"\",\"id\":1715004,"
            "\"isMaximized\":true,\"isMinimized\":false,\"isVisible\":true,\"processName\":\"notes.exe\","
            "\"title\":\"Caf\xc3\xa9 \\\"notes\\\"\\\\\\n\xe2\x9c\x93\",\"width\":1280,\"x\":-8,\"y\":20},"
            "{\"className\":\"\",\"height\":0,\"iconBase64\":\"iVBORw0=\",\"id\":7,"
            "\"isMaximized\":false,\"isMinimized\":false,\"isVisible\":false,\"processName\":\"\","
            "\"title\":\"\",\"width\":0,\"x\":0,\"y\":0}]}");
  second.title = "bad \xff byte";
  EXPECT_THROW(dumpWire(json(WindowListMessage{"window_list", {second}})), json::type_error);
}

TEST(SignalingWire, EveryClientWordAndNoOther) {
  using enum MessageType;
  constexpr auto words = std::to_array({"hello", "welcome", "window_list_request", "window_list",
                                        "stream_start", "stream_subscribe", "stream_started", "stream_stop",
                                        "stream_unsubscribe", "request_keyframe", "keyframe_request",
                                        "window_resize", "window_resized", "error", "ping", "pong"});
  constexpr auto types = std::to_array({Hello, Welcome, WindowListRequest, WindowList, StreamStart,
                                        StreamStart, StreamStarted, StreamStop, StreamStop, KeyframeRequest,
                                        KeyframeRequest, WindowResize, WindowResized, Error, Ping, Pong});
  static_assert(words.size() == types.size());
  for (size_t i = 0; i < words.size(); ++i) {
    EXPECT_EQ(parseMessageType(json{{"type", words[i]}, {"extra", {1, 2}}}), types[i]) << words[i];
  }
  for (const char* text :
       {R"({"type":"Hello"})", R"({"type":"hello "})", R"({"type":""})", R"({"type":"stream_stopped"})",
        R"({"type":"stream_config"})", R"({})", R"(["hello"])", R"("hello")", "42", "null"}) {
    EXPECT_EQ(parseMessageType(json::parse(text)), std::nullopt) << text;
  }
  for (const char* text : {R"({"type":5})", R"({"type":null})", R"({"type":["hello"]})"}) {
    EXPECT_THROW(parseMessageType(json::parse(text)), json::type_error) << text;
  }
}

TEST(SignalingWire, RequestNumbersConvertOrAreRejected) {
  const auto u32 = [](const char* text) { return readUint32Key(json::parse(text), "v"); };
  const auto i32 = [](const char* text) { return readInt32Key(json::parse(text), "v"); };
  EXPECT_EQ(u32("{}"), 0u);
  EXPECT_EQ(u32(R"({"v":12.9})"), 12u);
  EXPECT_EQ(u32(R"({"v":4294967297})"), 1u);
  EXPECT_EQ(u32(R"({"v":-1})"), 4294967295u);
  EXPECT_EQ(u32(R"({"v":true})"), 1u);
  EXPECT_EQ(u32(R"({"v":4294967295.7})"), 4294967295u);
  EXPECT_EQ(i32(R"({"v":2147483648})"), -2147483648);
  EXPECT_EQ(i32(R"({"v":18446744073709551615})"), -1);
  EXPECT_EQ(i32(R"({"v":-7.9})"), -7);
  EXPECT_EQ(i32(R"({"v":false})"), 0);

  for (const char* text : {R"({"v":"12"})", R"({"v":null})", R"({"v":[1]})", R"({"v":{}})"}) {
    EXPECT_THROW(u32(text), json::type_error) << text;
    EXPECT_THROW(i32(text), json::type_error) << text;
  }
  // Fractions outside the target type would be undefined in the conversion.
  for (const char* text : {R"({"v":1e300})", R"({"v":-1.0})", R"({"v":4294967296.0})"}) {
    EXPECT_THROW(u32(text), std::out_of_range) << text;
  }
  for (const char* text : {R"({"v":-1e300})", R"({"v":2147483648.0})", R"({"v":-2147483649.0})"}) {
    EXPECT_THROW(i32(text), std::out_of_range) << text;
  }
  EXPECT_THROW(readUint32Key(json{{"v", std::numeric_limits<double>::quiet_NaN()}}, "v"), std::out_of_range);
  EXPECT_THROW(readInt32Key(json{{"v", std::numeric_limits<double>::infinity()}}, "v"), std::out_of_range);
}

TEST(SignalingRequests, RepliesWithoutCallbacks) {
  SignalingServerRequestHandler handler;
  const std::pair<const char*, std::optional<std::string>> cases[] = {
      {R"({"type":"stream_start","windowId":12.9})", kStartFailed},
      {R"({"type":"window_list_request"})", R"({"type":"window_list","windows":[]})"},
      {R"({"type":"window_resize","streamId":-3,"windowId":9,"width":800,"height":600})",
       R"({"height":600,"streamId":-3,"success":false,"type":"window_resized","width":800,"windowId":9})"},
      {R"({"type":"stream_unsubscribe","streamId":300})", R"({"streamId":300,"type":"stream_stopped"})"},
      {R"({"type":"ping","timestamp":4294967297})", R"({"timestamp":1,"type":"pong"})"}};
  for (const auto& [request, reply] : cases) {
    EXPECT_EQ(handler.handle(request, kSender), reply) << request;
  }
  for (const char* text :
       {R"({"type":"keyframe_request","streamId":1})", R"({"type":"error"})", R"({"type":"stream_started"})",
        R"({"type":"window_list"})", R"({"type":"window_resized"})", R"({"type":"nonsense"})", "{}"}) {
    EXPECT_EQ(handler.handle(text, kSender), std::nullopt) << text;
  }

  // A session that has gone meanwhile gets nothing, and its request calls nothing.
  bool called = false;
  handler.setClientConnectedCallback([&](const std::string&) { called = true; });
  EXPECT_EQ(handler.handle(R"({"type":"hello"})", [] { return std::optional<std::string>(); }), std::nullopt);
  EXPECT_FALSE(called);
}

TEST(SignalingRequests, CallbacksGetTheValuesAsRead) {
  SignalingServerRequestHandler handler;
  std::vector<std::pair<uint32_t, uint8_t>> starts;
  std::vector<int> stops, keyframes;
  handler.setStreamStartCallback([&](uint32_t window, uint8_t stream) {
    starts.emplace_back(window, stream);
    return stream % 2 == 0;  // refuse odd ids
  });
  handler.setStreamStopCallback([&](uint8_t stream) { stops.push_back(stream); });
  handler.setKeyframeRequestCallback([&](uint8_t stream) { keyframes.push_back(stream); });
  handler.setWindowResizeCallback([](uint32_t, uint32_t width, uint32_t) { return width > 100; });

  // A bad window id spends no stream id; refused starts do; the ids wrap from 255 to 0.
  EXPECT_THROW(handler.handle(R"({"type":"stream_start","windowId":"x"})", kSender), json::type_error);
  EXPECT_EQ(handler.handle(R"({"type":"stream_start","windowId":5})", kSender), kStartFailed);
  EXPECT_EQ(handler.handle(R"({"type":"stream_subscribe","windowId":6})", kSender),
            R"({"codec":"h264","height":0,"streamId":2,"type":"stream_started","width":0,"windowId":6})");
  for (int i = 3; i <= 256; ++i) handler.handle(R"({"type":"stream_start"})", kSender);
  ASSERT_EQ(starts.size(), 256u);
  EXPECT_EQ(starts[0], std::make_pair(5u, uint8_t{1}));
  EXPECT_EQ(starts[254].second, 255);
  EXPECT_EQ(starts[255], std::make_pair(0u, uint8_t{0}));

  handler.handle(R"({"type":"stream_stop","streamId":300})", kSender);
  handler.handle(R"({"type":"request_keyframe","streamId":-1})", kSender);
  EXPECT_EQ(stops, std::vector<int>{44});
  EXPECT_EQ(keyframes, std::vector<int>{255});
  EXPECT_EQ(handler.handle(R"({"type":"window_resize","width":640})", kSender),
            R"({"height":0,"streamId":0,"success":true,"type":"window_resized","width":640,"windowId":0})");
}

TEST_F(SignalingServerTest, WholeConversation) {
  std::mutex mutex;
  std::vector<std::string> calls;
  const auto record = [&](std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  };
  server->setClientConnectedCallback([&](const std::string& address) { record("hello " + address); });
  WindowInfo window;
  window.id = 0xbeef;
  window.title = "Editor";
  server->setWindowListProvider([&] { return std::vector<WindowInfo>{window}; });
  server->setStreamStartCallback([](uint32_t windowId, uint8_t) { return windowId != 0; });
  server->setStreamStopCallback([&](uint8_t id) { record("stop " + std::to_string(id)); });
  server->setKeyframeRequestCallback([&](uint8_t id) { record("key " + std::to_string(id)); });

  Client client(port);
  ASSERT_TRUE(client.connect());
  EXPECT_EQ(server->getClientCount(), 1u);
  // Ids run 1, 2, ...; a refused start spends its id. Keyframe requests and the words the host
  // only writes get no reply: the next reply is the pong.
  const std::pair<const char*, const char*> conversation[] = {
      {R"({"type":"hello","clientVersion":"2"})",
       R"({"audioPort":9945,"hostName":"Quorvane Host","hostVersion":"1.0.5","inputPort":9946,)"
       R"("protocol":"tcp","requiresAuth":false,"supportedCodecs":["h264"],"type":"welcome","videoPort":9944})"},
      {R"({"type":"window_list_request"})",
       R"({"type":"window_list","windows":[{"className":"","height":0,"iconBase64":"","id":48879,)"
       R"("isMaximized":false,"isMinimized":false,"isVisible":false,"processName":"","title":"Editor",)"
       R"("width":0,"x":0,"y":0}]})"},
      {R"({"type":"stream_start","windowId":0})", kStartFailed},
      {R"({"type":"stream_subscribe","windowId":48879})",
       R"({"codec":"h264","height":0,"streamId":2,"type":"stream_started","width":0,"windowId":48879})"},
      {R"({"type":"stream_stop","streamId":2})", R"({"streamId":2,"type":"stream_stopped"})"},
      {R"({"type":"keyframe_request","streamId":7})", nullptr},
      {R"({"type":"welcome"})", nullptr},
      {R"({"type":"pong","timestamp":1})", nullptr},
      {R"({"type":"ping","timestamp":2147483648})", R"({"timestamp":-2147483648,"type":"pong"})"},
      {R"({"type":"ping"})", R"({"timestamp":0,"type":"pong"})"},
      {R"({"type":"window_resize","streamId":2,"windowId":48879,"width":800,"height":600})",
       R"({"height":600,"streamId":2,"success":false,"type":"window_resized","width":800,"windowId":48879})"}};
  for (const auto& [request, reply] : conversation) {
    if (reply) {
      EXPECT_EQ(client.request(request), reply);
    } else {
      ASSERT_TRUE(client.send(request));
    }
  }
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, (std::vector<std::string>{"hello 127.0.0.1", "stop 2", "key 7"}));
  }
  EXPECT_EQ(log.count("Stream subscribe request for window beef"), 1u);
  EXPECT_EQ(log.count("Window resize request: stream=2, window=beef, size=800x600"), 1u);

  client.closeCleanly();
  EXPECT_TRUE(clientsGone());
  EXPECT_EQ(log.count("Client disconnected"), 1u);
}

TEST_F(SignalingServerTest, StreamConfigReachesEveryClientEvenMidHandshake) {
  Client first(port), second(port);
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(second.connectTcp());
  ASSERT_TRUE(waitFor([&] { return server->getClientCount() == 2; }));  // counted before the upgrade

  EXPECT_EQ(first.request(R"({"type":"ping","timestamp":5})"), R"({"timestamp":5,"type":"pong"})");
  StreamConfigMessage config{"", 0x42, 1, 1280, 720, "video/avc", "Z2QAKA==", "aO4=", 15000, 72};
  server->sendStreamConfig(config);
  const std::string expected =
      R"({"codec":"video/avc","height":720,"pps":"aO4=","sps":"Z2QAKA==","streamId":1,"targetBitrate":15000,)"
      R"("targetFps":72,"type":"stream_config","width":1280,"windowId":66})";
  EXPECT_EQ(first.read(), expected);
  // Held until the handshake is done, and not the other client's pong.
  ASSERT_TRUE(second.handshake());
  EXPECT_EQ(second.read(), expected);
  EXPECT_EQ(log.count("Sending stream_config: streamId=1, 1280x720, codec=video/avc, sps=8B, pps=4B"), 1u);

  // A burst from several threads arrives whole and in each thread's order.
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([this, t, config]() mutable {
      for (int i = 0; i < 50; ++i) {
        config.windowId = static_cast<uint32_t>(t * 1000 + i);
        server->sendStreamConfig(config);
      }
    });
  }
  for (auto& s : senders) s.join();
  std::vector<int> next(4, 0);
  for (int n = 0; n < 200; ++n) {
    const auto windowId = json::parse(second.read().value_or("{}")).value("windowId", -1);
    ASSERT_GE(windowId, 0);
    EXPECT_EQ(windowId % 1000, next[windowId / 1000]++);
  }
  EXPECT_EQ(second.request(R"({"type":"ping","timestamp":1})"), R"({"timestamp":1,"type":"pong"})");
}

TEST_F(SignalingServerTest, BadMessagesAreReportedAndReadingGoesOn) {
  Client client(port);
  ASSERT_TRUE(client.connect());
  for (const char* text :
       {"{not json", "[1,2,3]", R"({"type":5})", R"({"type":"stream_start","windowId":"1"})",
        R"({"type":"ping","timestamp":1e300})", R"({"type":"stream_stop","streamId":null})", ""}) {
    ASSERT_TRUE(client.send(text));
  }
  // Not UTF-8, so only possible as a binary message, which is read like a text one.
  ASSERT_TRUE(client.send("\xff\xfe{", true));
  ASSERT_TRUE(client.send(R"({"type":"Hello"})"));
  ASSERT_TRUE(client.send(R"({"no":"type"})"));
  // The first reply after all of that is the answer to the good request.
  EXPECT_EQ(client.request(R"({"type":"stream_start","windowId":3})"), kStartFailed);
  EXPECT_EQ(log.count("Error processing message: "), 8u);
  EXPECT_EQ(log.count("Unknown message type: 'Hello'"), 1u);
  EXPECT_EQ(log.count("Unknown message type: 'missing'"), 1u);
}

TEST_F(SignalingServerTest, BrokenAndStuckClientsAreRemovedAndClosed) {
  {  // closes half way through the upgrade request
    Client client(port);
    ASSERT_TRUE(client.connectTcp());
    net::write(client.socket(), net::buffer(std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgr")));
  }
  {  // not an upgrade request: the server closes the connection
    Client client(port);
    ASSERT_TRUE(client.connectTcp());
    net::write(client.socket(), net::buffer(std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n")));
    EXPECT_TRUE(waitFor([&] { return log.count("WebSocket accept failed: ") >= 1; }));
    EXPECT_FALSE(client.read());
  }
  Client reset(port);  // after the upgrade
  ASSERT_TRUE(reset.connect());
  reset.reset();
  EXPECT_TRUE(clientsGone());
  EXPECT_EQ(log.count("WebSocket read failed: "), 1u);

  // A flood of connections that reset before or during the handshake.
  for (int round = 0; round < 4; ++round) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 50; ++i) {
      clients.push_back(std::make_unique<Client>(port));
      clients.back()->connectTcp();
    }
    for (auto& client : clients) client->reset();
  }
  EXPECT_TRUE(clientsGone());
  expectServesGoodClient();

  // A client that never reads is closed once its queue is full.
  Client stuck(port);
  ASSERT_TRUE(stuck.connect());
  StreamConfigMessage big{"", 1, 1, 64, 64, "video/avc", std::string(1 << 20, 'Q'), "", 1, 1};
  for (int i = 0; i < 96 && server->getClientCount() > 0; ++i) server->sendStreamConfig(big);
  EXPECT_TRUE(clientsGone());
  EXPECT_EQ(log.count("exceeds 8388608 bytes"), 1u);

  // Silent after connecting: the handshake's time limit ends it.
  Client silent(port);
  ASSERT_TRUE(silent.connectTcp());
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 1; }));
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 0; }, 90s));
  expectServesGoodClient();
}

#ifndef _WIN32
TEST_F(SignalingServerTest, AcceptGoesOnAfterRunningOutOfDescriptors) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer runtime itself needs descriptors for its checks";
#endif
  Client client(port);
  beast::error_code ec;
  client.socket().open(tcp::v4(), ec);
  ASSERT_FALSE(ec);

  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = std::min<rlim_t>(old.rlim_cur, 4096);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> held;  // every free descriptor, so the server's accept has none
  for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) held.push_back(fd);
  client.socket().connect({net::ip::make_address("127.0.0.1"), port}, ec);
  const bool connected = !ec;
  const bool failed = connected && waitFor([&] { return log.count("Accept failed: ") > 0; });
  for (const int fd : held) ::close(fd);
  setrlimit(RLIMIT_NOFILE, &old);
  ASSERT_TRUE(connected);
  EXPECT_TRUE(failed);
  // Accepting resumes by itself: the waiting connection is served.
  ASSERT_TRUE(client.handshake());
  EXPECT_EQ(client.request(R"({"type":"ping","timestamp":3})"), R"({"timestamp":3,"type":"pong"})");
  expectServesGoodClient();
}
#endif

TEST(SignalingServerLifecycle, TakenPortFailsAndStopClosesEverything) {
  LogCapture log;
  auto server = std::make_shared<SignalingServerImpl>(0);
  ASSERT_TRUE(server->start());
  SignalingServer second(server->getPort());
  EXPECT_FALSE(second.start());
  EXPECT_EQ(log.count("Failed to start signaling server: "), 1u);

  Client open(server->getPort()), halfway(server->getPort());
  ASSERT_TRUE(open.connect());
  ASSERT_TRUE(halfway.connectTcp());
  ASSERT_TRUE(waitFor([&] { return server->getClientCount() == 2; }));
  server->stop();
  server->stop();
  EXPECT_EQ(log.count("Signaling server stopped"), 1u);
  EXPECT_FALSE(server->start());  // never listens twice
  EXPECT_EQ(log.count("Signaling I/O did not finish in time"), 0u);
  EXPECT_EQ(server->getClientCount(), 0u);
  server->poll();  // returns at once
  // Both connections were closed by the server.
  EXPECT_FALSE(open.read());
  EXPECT_NE(open.lastError, net::error::timed_out);
  EXPECT_FALSE(halfway.read());
  // Nothing but this pointer keeps the server.
  std::weak_ptr<SignalingServerImpl> weak = server;
  server.reset();
  EXPECT_TRUE(weak.expired());
}
