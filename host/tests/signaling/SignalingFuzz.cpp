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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    spdlog::set_level(spdlog::level::off);
    return true;
  }();
  (void)quiet;

  static SignalingServerRequestHandler bare;
  static SignalingServerRequestHandler wired;
  static bool wiredUp = false;
  if (!wiredUp) {
    wiredUp = true;
    quorvane::protocol::WindowInfo window;
    window.id = 1;
    window.title = "t\xc3\xa9";
    wired.setWindowListProvider([window] { return std::vector<quorvane::protocol::WindowInfo>{window}; });
    wired.setStreamStartCallback([](uint32_t windowId, uint8_t) { return windowId % 2 == 0; });
    wired.setStreamStopCallback([](uint8_t) {});
    wired.setClientConnectedCallback([](const std::string&) {});
    wired.setWindowResizeCallback([](uint32_t, uint32_t w, uint32_t h) { return w < h; });
    wired.setKeyframeRequestCallback([](uint8_t) {});
  }

  const std::string text(reinterpret_cast<const char*>(data), size);
  const auto sender = [] { return std::optional<std::string>("127.0.0.1"); };
  for (auto* handler : {&bare, &wired}) {
    try {
      if (auto reply = handler->handle(text, sender)) {
        if (reply->empty() || reply->front() != '{' || reply->back() != '}') {
          __builtin_trap();
        }
      }
    } catch (const std::exception&) {
      // the server logs these and reads on
    }
  }
  return 0;
}
