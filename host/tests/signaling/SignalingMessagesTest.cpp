// Wire texts of every message the host writes and the reading of every request word.
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "network/SignalingServerRequestHandler.h"
#include "protocol/ErrorMessage.h"
#include "protocol/MessageType.h"
#include "protocol/StreamConfigMessage.h"
#include "protocol/StreamStartedMessage.h"
#include "protocol/WelcomeMessage.h"
#include "protocol/WindowListMessage.h"
#include "protocol/Wire.h"

using nlohmann::json;
using quorvane::host::SignalingServerRequestHandler;
using namespace quorvane::protocol;

namespace {

std::optional<MessageType> typeOf(const char* text) { return parseMessageType(json::parse(text)); }

WindowInfo sampleWindow() {
  WindowInfo w;
  w.id = 0x1a2b3c;
  w.title = "Caf\xc3\xa9 \"notes\"\\\n\xe2\x9c\x93";
  w.processName = "notes.exe";
  w.className = "Notepad";
  w.x = -8;
  w.y = 20;
  w.width = 1280;
  w.height = 720;
  w.isMinimized = false;
  w.isMaximized = true;
  w.isVisible = true;
  w.iconBase64 = "";
  return w;
}

}  // namespace

TEST(SignalingWire, RecordsAreWrittenCompactInByteOrder) {
  WelcomeMessage welcome{"welcome", "Quorvane Host", "1.0.5", 9944, 9945, 9946, "tcp", {"h264"}, false};
  EXPECT_EQ(dumpWire(json(welcome)),
            R"({"audioPort":9945,"hostName":"Quorvane Host","hostVersion":"1.0.5","inputPort":9946,)"
            R"("protocol":"tcp","requiresAuth":false,"supportedCodecs":["h264"],"type":"welcome",)"
            R"("videoPort":9944})");

  ErrorMessage error{"error", 1001, "Failed to start stream"};
  EXPECT_EQ(dumpWire(json(error)), R"({"code":1001,"message":"Failed to start stream","type":"error"})");

  StreamStartedMessage started{"stream_started", 4294967295u, 255, 0, 0, "h264"};
  EXPECT_EQ(dumpWire(json(started)),
            R"({"codec":"h264","height":0,"streamId":255,"type":"stream_started","width":0,)"
            R"("windowId":4294967295})");

  StreamConfigMessage config{"ignored", 0xabc, 3, 1920, 1080, "video/avc", "Z0LAHg==", "aM4=", 20000, 90};
  EXPECT_EQ(dumpWire(json(config)),
            R"({"codec":"video/avc","height":1080,"pps":"aM4=","sps":"Z0LAHg==","streamId":3,)"
            R"("targetBitrate":20000,"targetFps":90,"type":"stream_config","width":1920,"windowId":2748})");
}

TEST(SignalingWire, WindowListEscapesOnlyWhatJsonRequires) {
  WindowListMessage empty{"window_list", {}};
  EXPECT_EQ(dumpWire(json(empty)), R"({"type":"window_list","windows":[]})");

  WindowInfo second;
  second.id = 7;
  second.iconBase64 = "iVBORw0=";
  WindowListMessage list{"window_list", {sampleWindow(), second}};
  EXPECT_EQ(dumpWire(json(list)),
            "{\"type\":\"window_list\",\"windows\":["
            "{\"className\":\"Notepad\",\"height\":720,\"iconBase64\":\"\",\"id\":1715004,"
            "\"isMaximized\":true,\"isMinimized\":false,\"isVisible\":true,\"processName\":\"notes.exe\","
            "\"title\":\"Caf\xc3\xa9 \\\"notes\\\"\\\\\\n\xe2\x9c\x93\",\"width\":1280,\"x\":-8,\"y\":20},"
            "{\"className\":\"\",\"height\":0,\"iconBase64\":\"iVBORw0=\",\"id\":7,"
            "\"isMaximized\":false,\"isMinimized\":false,\"isVisible\":false,\"processName\":\"\","
            "\"title\":\"\",\"width\":0,\"x\":0,\"y\":0}]}");

  WindowInfo broken;
  broken.title = "bad \xff byte";
  EXPECT_THROW(dumpWire(json(WindowListMessage{"window_list", {broken}})), json::type_error);
}

TEST(SignalingWire, EveryClientWordAndNoOther) {
  EXPECT_EQ(typeOf(R"({"type":"hello","extra":[1,2]})"), MessageType::Hello);
  EXPECT_EQ(typeOf(R"({"type":"welcome"})"), MessageType::Welcome);
  EXPECT_EQ(typeOf(R"({"type":"window_list_request"})"), MessageType::WindowListRequest);
  EXPECT_EQ(typeOf(R"({"type":"window_list"})"), MessageType::WindowList);
  EXPECT_EQ(typeOf(R"({"type":"stream_start"})"), MessageType::StreamStart);
  EXPECT_EQ(typeOf(R"({"type":"stream_subscribe"})"), MessageType::StreamStart);
  EXPECT_EQ(typeOf(R"({"type":"stream_started"})"), MessageType::StreamStarted);
  EXPECT_EQ(typeOf(R"({"type":"stream_stop"})"), MessageType::StreamStop);
  EXPECT_EQ(typeOf(R"({"type":"stream_unsubscribe"})"), MessageType::StreamStop);
  EXPECT_EQ(typeOf(R"({"type":"request_keyframe"})"), MessageType::KeyframeRequest);
  EXPECT_EQ(typeOf(R"({"type":"keyframe_request"})"), MessageType::KeyframeRequest);
  EXPECT_EQ(typeOf(R"({"type":"window_resize"})"), MessageType::WindowResize);
  EXPECT_EQ(typeOf(R"({"type":"window_resized"})"), MessageType::WindowResized);
  EXPECT_EQ(typeOf(R"({"type":"error"})"), MessageType::Error);
  EXPECT_EQ(typeOf(R"({"type":"ping"})"), MessageType::Ping);
  EXPECT_EQ(typeOf(R"({"type":"pong"})"), MessageType::Pong);

  for (const char* text :
       {R"({"type":"Hello"})", R"({"type":"hello "})", R"({"type":""})", R"({"type":"stream_stopped"})",
        R"({"type":"stream_config"})", R"({})", R"(["hello"])", R"("hello")", "42", "null"}) {
    EXPECT_EQ(typeOf(text), std::nullopt) << text;
  }
  for (const char* text : {R"({"type":5})", R"({"type":null})", R"({"type":["hello"]})"}) {
    EXPECT_THROW(typeOf(text), json::type_error) << text;
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
  const auto sender = [] { return std::optional<std::string>("10.0.0.2"); };
  const auto reply = [&](const char* text) { return handler.handle(text, sender); };

  EXPECT_EQ(reply(R"({"type":"stream_start","windowId":12.9})"),
            R"({"code":1001,"message":"Failed to start stream","type":"error"})");
  EXPECT_EQ(reply(R"({"type":"window_list_request"})"), R"({"type":"window_list","windows":[]})");
  EXPECT_EQ(
      reply(R"({"type":"window_resize","streamId":-3,"windowId":9,"width":800,"height":600})"),
      R"({"height":600,"streamId":-3,"success":false,"type":"window_resized","width":800,"windowId":9})");
  EXPECT_EQ(reply(R"({"type":"stream_unsubscribe","streamId":300})"),
            R"({"streamId":300,"type":"stream_stopped"})");
  EXPECT_EQ(reply(R"({"type":"ping"})"), R"({"timestamp":0,"type":"pong"})");
  EXPECT_EQ(reply(R"({"type":"ping","timestamp":4294967297})"), R"({"timestamp":1,"type":"pong"})");
  EXPECT_EQ(reply(R"({"type":"ping","timestamp":2147483648})"), R"({"timestamp":-2147483648,"type":"pong"})");
  EXPECT_EQ(reply(R"({"type":"keyframe_request","streamId":1})"), std::nullopt);
  for (const char* text :
       {R"({"type":"welcome"})", R"({"type":"pong"})", R"({"type":"error"})", R"({"type":"stream_started"})",
        R"({"type":"window_list"})", R"({"type":"window_resized"})", R"({"type":"nonsense"})", "{}"}) {
    EXPECT_EQ(reply(text), std::nullopt) << text;
  }
  EXPECT_THROW(reply("{not json"), json::parse_error);
  EXPECT_THROW(reply("[1,2]"), json::type_error);
  EXPECT_THROW(reply(R"({"type":"stream_stop","streamId":"3"})"), json::type_error);
  EXPECT_THROW(reply(R"({"type":"ping","timestamp":1e300})"), std::out_of_range);

  // A session that has gone meanwhile gets nothing, and its request calls nothing.
  bool called = false;
  handler.setClientConnectedCallback([&](const std::string&) { called = true; });
  EXPECT_EQ(handler.handle(R"({"type":"hello"})", [] { return std::optional<std::string>(); }), std::nullopt);
  EXPECT_FALSE(called);
}

TEST(SignalingRequests, CallbacksGetTheValuesAsRead) {
  SignalingServerRequestHandler handler;
  const auto sender = [] { return std::optional<std::string>("10.0.0.2"); };
  std::string connected;
  std::vector<std::pair<uint32_t, uint8_t>> starts;
  std::vector<int> stops, keyframes;
  handler.setClientConnectedCallback([&](const std::string& address) { connected = address; });
  handler.setStreamStartCallback([&](uint32_t window, uint8_t stream) {
    starts.emplace_back(window, stream);
    return stream % 2 == 0;  // refuse odd ids
  });
  handler.setStreamStopCallback([&](uint8_t stream) { stops.push_back(stream); });
  handler.setKeyframeRequestCallback([&](uint8_t stream) { keyframes.push_back(stream); });
  handler.setWindowResizeCallback([](uint32_t, uint32_t width, uint32_t) { return width > 100; });

  handler.handle(R"({"type":"hello"})", sender);
  EXPECT_EQ(connected, "10.0.0.2");

  // A bad window id spends no stream id; refused starts do.
  EXPECT_THROW(handler.handle(R"({"type":"stream_start","windowId":"x"})", sender), json::type_error);
  EXPECT_EQ(handler.handle(R"({"type":"stream_start","windowId":5})", sender),
            R"({"code":1001,"message":"Failed to start stream","type":"error"})");
  EXPECT_EQ(handler.handle(R"({"type":"stream_subscribe","windowId":6})", sender),
            R"({"codec":"h264","height":0,"streamId":2,"type":"stream_started","width":0,"windowId":6})");
  for (int i = 3; i <= 256; ++i) {
    handler.handle(R"({"type":"stream_start"})", sender);
  }
  ASSERT_EQ(starts.size(), 256u);
  EXPECT_EQ(starts[0], std::make_pair(5u, uint8_t{1}));
  EXPECT_EQ(starts[254].second, 255);
  EXPECT_EQ(starts[255], std::make_pair(0u, uint8_t{0}));

  handler.handle(R"({"type":"stream_stop","streamId":300})", sender);
  handler.handle(R"({"type":"request_keyframe","streamId":-1})", sender);
  EXPECT_EQ(stops, std::vector<int>{44});
  EXPECT_EQ(keyframes, std::vector<int>{255});
  EXPECT_EQ(handler.handle(R"({"type":"window_resize","width":640})", sender),
            R"({"height":0,"streamId":0,"success":true,"type":"window_resized","width":640,"windowId":0})");
}
