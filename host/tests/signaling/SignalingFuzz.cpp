// Feeds arbitrary text to the signaling request handling, with and without callbacks.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "network/SignalingServerRequestHandler.h"
#include "protocol/WindowInfo.h"

using quorvane::host::SignalingServerRequestHandler;

namespace {

SignalingServerRequestHandler& wiredHandler() {
  static SignalingServerRequestHandler wired;
  wired.setWindowListProvider([] {
    quorvane::protocol::WindowInfo window;
    window.title = "t\xc3\xa9";
    return std::vector{window};
  });
  wired.setStreamStartCallback([](uint32_t windowId, uint8_t) { return windowId % 2 == 0; });
  wired.setStreamStopCallback([](uint8_t) {});
  wired.setClientConnectedCallback([](const std::string&) {});
  wired.setWindowResizeCallback([](uint32_t, uint32_t w, uint32_t h) { return w < h; });
  wired.setKeyframeRequestCallback([](uint8_t) {});
  spdlog::set_level(spdlog::level::off);
  return wired;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SignalingServerRequestHandler bare;
  static SignalingServerRequestHandler& wired = wiredHandler();
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (auto* handler : {&bare, &wired}) {
    try {
      const auto reply = handler->handle(text, [] { return std::optional<std::string>("127.0.0.1"); });
      if (reply && (reply->empty() || reply->front() != '{' || reply->back() != '}')) __builtin_trap();
    } catch (const std::exception&) {
      // the server logs these and reads on
    }
  }
  return 0;
}
