#pragma once

#include <cstdint>
#include <string>

namespace quorvane::host {

// What the control window shows about this PC; the entry function fills it once.
struct SystemInfo {
  std::string gpuName = "Detecting...";
  uint32_t vramMB = 0;  // dedicated video memory, MiB
  std::string encoderName = "None";
  bool wgcSupported = false;  // window capture available
};

}  // namespace quorvane::host
