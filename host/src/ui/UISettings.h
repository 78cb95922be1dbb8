#pragma once

#include <cstdint>
#include <string>

namespace quorvane::host {

// The values the control window's settings pages edit. The defaults are the control
// window's own and are also what "Reset to Defaults" restores.
struct UISettings {
  // Shown on the Settings page and the dashboard only.
  int32_t signalingPort = 9876;
  int32_t videoPort = 9944;
  int32_t audioPort = 9945;
  int32_t inputPort = 9946;

  int32_t qualityPreset = 2;  // 0 Low, 1 Medium, 2 High, 3 Ultra, 4 Custom
  int32_t targetFps = 72;
  int32_t targetBitrate = 50000;  // kbps
  int32_t maxBitrate = 100000;    // kbps
  std::string codec = "h264";     // "h264" or "hevc"

  int32_t audioBitrate = 128;  // kbps
  bool micPassthrough = false;
  int32_t micVolume = 85;  // percent
  bool noiseCancellation = true;

  bool trackControllers = true;
  bool forwardTracking = false;

  bool lowLatencyMode = true;
  bool adaptiveBitrate = true;
  bool sliceEncoding = true;

  bool sharpeningEnabled = false;
  float sharpness = 0.7f;  // 0 to 1
  bool fullRangeColor = false;
  bool vsyncEnabled = false;

  bool operator==(const UISettings&) const = default;
};

}  // namespace quorvane::host
