// The signaling server on loopback, talked to by a WebSocket client written here.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "network/SignalingServer.h"
#include "network/SignalingServerImpl.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using net::ip::tcp;
using quorvane::host::SignalingServer;
using quorvane::host::SignalingServerImpl;
using quorvane::protocol::StreamConfigMessage;
using quorvane::protocol::WindowInfo;
using namespace std::chrono_literals;

namespace {

constexpr auto kWait = 30s;

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = kWait) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Keeps every log line, to check the server's reports.
class LogCapture : public spdlog::sinks::base_sink<std::mutex> {
 public:
  size_t count(const std::string& text) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const auto& line : lines) {
      n += line.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    lines.clear();
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    lines.emplace_back(msg.payload.data(), msg.payload.size());
  }
  void flush_() override {}

 private:
  std::vector<std::string> lines;
};

std::shared_ptr<LogCapture> logCapture() {
  static const auto capture = [] {
    auto sink = std::make_shared<LogCapture>();
    spdlog::default_logger()->sinks().push_back(sink);
    return sink;
  }();
  return capture;
}

// A WebSocket client whose every wait has a deadline.
class Client {
 public:
  explicit Client(uint16_t port) : port(port) {}

  // TCP connection only, no upgrade yet.
  bool connectTcp() {
    beast::error_code ec;
    beast::get_lowest_layer(ws).socket().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
    return !ec;
  }

  bool handshake() {
    bool ok = false;
    return within([&](bool& done) {
             ws.async_handshake("127.0.0.1", "/", [&](beast::error_code ec) {
               ok = !ec;
               done = true;
             });
           }) &&
           ok;
  }

  bool connect() { return connectTcp() && handshake(); }

  bool send(const std::string& text, bool binary = false) {
    beast::error_code ec;
    ws.binary(binary);
    ws.write(net::buffer(text), ec);
    return !ec;
  }

  // The next message, or nothing when none came in time or the connection ended.
  std::optional<std::string> read(std::chrono::seconds limit = kWait) {
    beast::flat_buffer buffer;
    beast::error_code result;
    if (!within(
            [&](bool& done) {
              ws.async_read(buffer, [&](beast::error_code ec, std::size_t) {
                result = ec;
                done = true;
              });
            },
            limit) ||
        result) {
      lastError = result;
      return std::nullopt;
    }
    return beast::buffers_to_string(buffer.data());
  }

  std::string request(const std::string& text) {
    EXPECT_TRUE(send(text));
    return read().value_or("<nothing>");
  }

  void closeCleanly() {
    within([&](bool& done) {
      ws.async_close(websocket::close_code::normal, [&](beast::error_code) { done = true; });
    });
  }

  tcp::socket& socket() { return beast::get_lowest_layer(ws).socket(); }

  beast::error_code lastError;

 private:
  bool within(const std::function<void(bool&)>& start, std::chrono::seconds limit = kWait) {
    bool done = false;
    ioc.restart();
    start(done);
    ioc.run_for(limit);
    if (!done) {
      beast::error_code ignored;
      socket().close(ignored);
      ioc.restart();
      ioc.run();
    }
    return done;
  }

  uint16_t port;
  net::io_context ioc;
  websocket::stream<beast::tcp_stream> ws{ioc};
};

class SignalingServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log = logCapture();
    log->clear();
    server = std::make_unique<SignalingServer>(0);
    ASSERT_TRUE(server->start());
    port = server->getPort();
    ASSERT_NE(port, 0);
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

  // A new client has its whole conversation answered.
  void expectServesGoodClient() {
    Client client(port);
    ASSERT_TRUE(client.connect());
    EXPECT_EQ(client.request(R"({"type":"ping","timestamp":77})"), R"({"timestamp":77,"type":"pong"})");
    EXPECT_EQ(
        client.request(R"({"type":"window_list_request"})").rfind(R"({"type":"window_list","windows":[)", 0),
        0u);
    client.closeCleanly();
  }

  std::shared_ptr<LogCapture> log;
  std::unique_ptr<SignalingServer> server;
  uint16_t port = 0;
  std::atomic<bool> quit{false};
  std::thread mainLoop;
};

}  // namespace

TEST_F(SignalingServerTest, WholeConversation) {
  std::mutex mutex;
  std::string helloFrom;
  std::vector<int> stops, keyframes;
  server->setClientConnectedCallback([&](const std::string& address) {
    std::lock_guard lock(mutex);
    helloFrom = address;
  });
  WindowInfo window;
  window.id = 0xbeef;
  window.title = "Editor";
  server->setWindowListProvider([&] { return std::vector<WindowInfo>{window}; });
  server->setStreamStartCallback([](uint32_t windowId, uint8_t) { return windowId != 0; });
  server->setStreamStopCallback([&](uint8_t id) {
    std::lock_guard lock(mutex);
    stops.push_back(id);
  });
  server->setKeyframeRequestCallback([&](uint8_t id) {
    std::lock_guard lock(mutex);
    keyframes.push_back(id);
  });

  Client client(port);
  ASSERT_TRUE(client.connect());
  EXPECT_EQ(server->getClientCount(), 1u);

  EXPECT_EQ(client.request(R"({"type":"hello","clientVersion":"2"})"),
            R"({"audioPort":9945,"hostName":"Quorvane Host","hostVersion":"1.0.5","inputPort":9946,)"
            R"("protocol":"tcp","requiresAuth":false,"supportedCodecs":["h264"],"type":"welcome",)"
            R"("videoPort":9944})");
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(helloFrom, "127.0.0.1");
  }
  EXPECT_EQ(client.request(R"({"type":"window_list_request"})"),
            R"({"type":"window_list","windows":[{"className":"","height":0,"iconBase64":"","id":48879,)"
            R"("isMaximized":false,"isMinimized":false,"isVisible":false,"processName":"","title":"Editor",)"
            R"("width":0,"x":0,"y":0}]})");

  // Ids run 1, 2, ...; a refused start spends its id.
  EXPECT_EQ(client.request(R"({"type":"stream_start","windowId":0})"),
            R"({"code":1001,"message":"Failed to start stream","type":"error"})");
  EXPECT_EQ(client.request(R"({"type":"stream_subscribe","windowId":48879})"),
            R"({"codec":"h264","height":0,"streamId":2,"type":"stream_started","width":0,"windowId":48879})");
  EXPECT_EQ(client.request(R"({"type":"stream_stop","streamId":300})"),
            R"({"streamId":300,"type":"stream_stopped"})");
  // No reply to a keyframe request or to words the host only writes: the next reply is the pong.
  ASSERT_TRUE(client.send(R"({"type":"keyframe_request","streamId":7})"));
  ASSERT_TRUE(client.send(R"({"type":"welcome"})"));
  ASSERT_TRUE(client.send(R"({"type":"pong","timestamp":1})"));
  EXPECT_EQ(client.request(R"({"type":"ping","timestamp":2147483648})"),
            R"({"timestamp":-2147483648,"type":"pong"})");
  EXPECT_EQ(client.request(R"({"type":"ping"})"), R"({"timestamp":0,"type":"pong"})");
  EXPECT_EQ(
      client.request(R"({"type":"window_resize","streamId":2,"windowId":48879,"width":800,"height":600})"),
      R"({"height":600,"streamId":2,"success":false,"type":"window_resized","width":800,"windowId":48879})");
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(stops, std::vector<int>{44});
    EXPECT_EQ(keyframes, std::vector<int>{7});
  }
  EXPECT_EQ(log->count("Stream subscribe request for window beef"), 1u);
  EXPECT_EQ(log->count("Window resize request: stream=2, window=beef, size=800x600"), 1u);

  client.closeCleanly();
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 0; }));
  EXPECT_EQ(log->count("Client disconnected"), 1u);
}

TEST_F(SignalingServerTest, StreamConfigReachesEveryClientAndRepliesOnlyTheAsker) {
  Client first(port), second(port);
  ASSERT_TRUE(first.connect());
  ASSERT_TRUE(second.connect());
  EXPECT_EQ(server->getClientCount(), 2u);

  EXPECT_EQ(first.request(R"({"type":"ping","timestamp":5})"), R"({"timestamp":5,"type":"pong"})");
  StreamConfigMessage config{"", 0x42, 1, 1280, 720, "video/avc", "Z2QAKA==", "aO4=", 15000, 72};
  server->sendStreamConfig(config);
  const std::string expected =
      R"({"codec":"video/avc","height":720,"pps":"aO4=","sps":"Z2QAKA==","streamId":1,"targetBitrate":15000,)"
      R"("targetFps":72,"type":"stream_config","width":1280,"windowId":66})";
  EXPECT_EQ(first.read(), expected);
  EXPECT_EQ(second.read(), expected);  // not the other client's pong
  EXPECT_EQ(log->count("Sending stream_config: streamId=1, 1280x720, codec=video/avc, sps=8B, pps=4B"), 1u);

  // A burst from several threads arrives whole and in each thread's order.
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        StreamConfigMessage own = config;
        own.windowId = static_cast<uint32_t>(t * 1000 + i);
        server->sendStreamConfig(own);
      }
    });
  }
  for (auto& s : senders) {
    s.join();
  }
  std::vector<int> next(4, 0);
  for (int n = 0; n < 200; ++n) {
    const auto text = second.read();
    ASSERT_TRUE(text);
    const auto windowId = nlohmann::json::parse(*text).at("windowId").get<int>();
    EXPECT_EQ(windowId % 1000, next[windowId / 1000]++);
  }
}

TEST_F(SignalingServerTest, MessagesSentDuringTheHandshakeFollowIt) {
  Client client(port);
  ASSERT_TRUE(client.connectTcp());
  ASSERT_TRUE(waitFor([&] { return server->getClientCount() == 1; }));  // counted before the upgrade
  server->sendStreamConfig(StreamConfigMessage{"", 1, 9, 64, 64, "video/avc", "", "", 1, 1});
  ASSERT_TRUE(client.handshake());
  const auto first = client.read();
  ASSERT_TRUE(first);
  EXPECT_NE(first->find(R"("streamId":9)"), std::string::npos);
  EXPECT_EQ(client.request(R"({"type":"ping","timestamp":1})"), R"({"timestamp":1,"type":"pong"})");
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
  EXPECT_EQ(client.request(R"({"type":"stream_start","windowId":3})"),
            R"({"code":1001,"message":"Failed to start stream","type":"error"})");
  EXPECT_EQ(log->count("Error processing message: "), 8u);
  EXPECT_EQ(log->count("Unknown message type: 'Hello'"), 1u);
  EXPECT_EQ(log->count("Unknown message type: 'missing'"), 1u);
  // The rejected stream start spent no id.
  server->setStreamStartCallback([](uint32_t, uint8_t) { return true; });
  EXPECT_EQ(client.request(R"({"type":"stream_start","windowId":3})"),
            R"({"codec":"h264","height":0,"streamId":2,"type":"stream_started","width":0,"windowId":3})");
}

TEST_F(SignalingServerTest, FailedHandshakesAreRemovedAndClosed) {
  {  // closes half way through the upgrade request
    Client client(port);
    ASSERT_TRUE(client.connectTcp());
    net::write(client.socket(), net::buffer(std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgr")));
  }
  {  // not an upgrade request: the server closes the connection
    Client client(port);
    ASSERT_TRUE(client.connectTcp());
    net::write(client.socket(), net::buffer(std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n")));
    EXPECT_TRUE(waitFor([&] { return log->count("WebSocket accept failed: ") >= 1; }));
    EXPECT_FALSE(client.read());
  }
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 0; }));
  expectServesGoodClient();

  // Silent after connecting: the handshake's time limit ends it.
  Client silent(port);
  ASSERT_TRUE(silent.connectTcp());
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 1; }));
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 0; }, 90s));
  expectServesGoodClient();
}

TEST_F(SignalingServerTest, ClientThatNeverReadsIsClosedAtTheQueueLimit) {
  Client stuck(port);
  ASSERT_TRUE(stuck.connect());
  StreamConfigMessage big{"", 1, 1, 64, 64, "video/avc", std::string(1 << 20, 'Q'), "", 1, 1};
  for (int i = 0; i < 96 && server->getClientCount() > 0; ++i) {
    server->sendStreamConfig(big);
  }
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 0; }));
  EXPECT_EQ(log->count("exceeds 8388608 bytes"), 1u);
  expectServesGoodClient();
}

TEST_F(SignalingServerTest, ConnectAndResetFlood) {
  for (int round = 0; round < 4; ++round) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 50; ++i) {
      clients.push_back(std::make_unique<Client>(port));
      if (clients.back()->connectTcp()) {
        beast::error_code ignored;
        clients.back()->socket().set_option(net::socket_base::linger(true, 0), ignored);
      }
    }
    clients.clear();  // every connection ends with a reset
  }
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 0; }));
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
  for (int fd = ::dup(0); fd >= 0; fd = ::dup(0)) {
    held.push_back(fd);
  }
  client.socket().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
  const bool connected = !ec;
  const bool failed = connected && waitFor([&] { return log->count("Accept failed: ") > 0; });
  for (const int fd : held) {
    ::close(fd);
  }
  setrlimit(RLIMIT_NOFILE, &old);
  ASSERT_TRUE(connected);
  EXPECT_TRUE(failed);
  // Accepting resumes by itself: the waiting connection is served.
  ASSERT_TRUE(client.handshake());
  EXPECT_EQ(client.request(R"({"type":"ping","timestamp":3})"), R"({"timestamp":3,"type":"pong"})");
  expectServesGoodClient();
}
#endif

TEST_F(SignalingServerTest, BrokenConnectionIsRemoved) {
  Client client(port);
  ASSERT_TRUE(client.connect());
  beast::error_code ignored;
  client.socket().set_option(net::socket_base::linger(true, 0), ignored);
  client.socket().close(ignored);
  EXPECT_TRUE(waitFor([&] { return server->getClientCount() == 0; }));
  EXPECT_EQ(log->count("WebSocket read failed: "), 1u);
}

TEST(SignalingServerStop, ClosesClientsAndLeavesNothingRunning) {
  auto log = logCapture();
  log->clear();
  auto server = std::make_shared<SignalingServerImpl>(0);
  ASSERT_TRUE(server->start());
  Client open(server->getPort()), halfway(server->getPort());
  ASSERT_TRUE(open.connect());
  ASSERT_TRUE(halfway.connectTcp());
  ASSERT_TRUE(waitFor([&] { return server->getClientCount() == 2; }));

  server->stop();
  server->stop();
  EXPECT_EQ(log->count("Signaling server stopped"), 1u);
  EXPECT_FALSE(server->start());  // never listens twice
  EXPECT_EQ(log->count("Signaling I/O did not finish in time"), 0u);
  EXPECT_EQ(server->getClientCount(), 0u);
  server->poll();  // returns at once
  // Both connections were closed by the server.
  EXPECT_FALSE(open.read());
  EXPECT_NE(open.lastError, beast::error::timeout);
  EXPECT_FALSE(halfway.read());
  // Nothing but this pointer keeps the server.
  std::weak_ptr<SignalingServerImpl> weak = server;
  server.reset();
  EXPECT_TRUE(weak.expired());
}

TEST(SignalingServerStart, TakenPortFails) {
  logCapture()->clear();
  SignalingServer first(0);
  ASSERT_TRUE(first.start());
  SignalingServer second(first.getPort());
  EXPECT_FALSE(second.start());
  EXPECT_EQ(logCapture()->count("Failed to start signaling server: "), 1u);
}
