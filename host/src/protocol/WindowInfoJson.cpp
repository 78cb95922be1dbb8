#include "protocol/WindowInfoJson.h"

namespace quorvane::protocol {

void to_json(nlohmann::json& j, const WindowInfo& window) {
  j = nlohmann::json{
      {"id", window.id},
      {"title", window.title},
      {"processName", window.processName},
      {"className", window.className},
      {"x", window.x},
      {"y", window.y},
      {"width", window.width},
      {"height", window.height},
      {"isMinimized", window.isMinimized},
      {"isMaximized", window.isMaximized},
      {"isVisible", window.isVisible},
      {"iconBase64", window.iconBase64},
  };
}

}  // namespace quorvane::protocol
