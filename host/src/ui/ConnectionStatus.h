#pragma once

#include <cstdint>
#include <string>

namespace quorvane::host {

// The client connection as the control window shows it; the entry function rebuilds it
// every frame.
struct ConnectionStatus {
  bool connected = false;
  std::string clientName;
  std::string clientIp;
  int32_t fps = 0;
  float latencyMs = 0.0f;
  float bitrateMbps = 0.0f;
};

}  // namespace quorvane::host
