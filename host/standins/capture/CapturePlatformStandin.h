#pragma once

#include "capture/CapturePlatform.h"

namespace quorvane::host {

// Window capture for systems without the capture runtime (Wine): each started session reads the
// window's pixels through GDI on a worker thread of its own at the display's rate, copies them
// into a texture of the capture's device and raises the frame-arrived and closed events the way
// the runtime does, with the pool's buffer size, size changes and a limit of the pool's buffer
// count on frames not yet released. StandinCaptureControl makes any step fail.
class CapturePlatformStandin : public CapturePlatform {
 public:
  bool isSupported() override;
  std::unique_ptr<Device> createDevice(IDXGIDevice* dxgiDevice) override;
  std::unique_ptr<Item> createItemForWindow(HWND hwnd) override;
  std::unique_ptr<FramePool> createFreeThreadedFramePool(Device& device, int32_t pixelFormat,
                                                         int32_t bufferCount, Size size) override;
};

}  // namespace quorvane::host
