// Wire texts of the messages the host writes and the reading of every request word; the
// server's tests check the common replies on the wire.
#include <array>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "network/SignalingServerRequestHandler.h"
#include "protocol/MessageType.h"
#include "protocol/StreamStartedMessage.h"
#include "protocol/WindowListMessage.h"
#include "protocol/Wire.h"

using nlohmann::json;
using quorvane::host::SignalingServerRequestHandler;
using namespace quorvane::protocol;

namespace {

const auto kSender = [] { return std::optional<std::string>("10.0.0.2"); };
const char* kStartFailed = R"({"code":1001,"message":"Failed to start stream","type":"error"})";

}  // namespace

TEST(SignalingWire, RecordsAreWrittenCompactInByteOrderWithRawUtf8) {
  StreamStartedMessage started{"stream_started", 4294967295u, 255, 0, 0, "h264"};
  EXPECT_EQ(dumpWire(json(started)),
            R"({"codec":"h264","height":0,"streamId":255,"type":"stream_started","width":0,)"
            R"("windowId":4294967295})");
  EXPECT_EQ(dumpWire(json(WindowListMessage{"window_list", {}})), R"({"type":"window_list","windows":[]})");

  WindowInfo first{0x1a2b3c,    "Caf\xc3\xa9 \"notes\"\\\n\xe2\x9c\x93",
                   "notes.exe", "Notepad",
                   -8,          20,
                   1280,        720,
                   false,       true,
                   true,        ""};
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
