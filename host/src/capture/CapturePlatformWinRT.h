#pragma once

#include "capture/CapturePlatform.h"

namespace quorvane::host {

// Windows Graphics Capture through the Windows Runtime's binary interface: activation
// factories from RoGetActivationFactory, and CreateDirect3D11DeviceFromDXGIDevice looked up in
// d3d11.dll at run time so the program still loads on systems without it.
class CapturePlatformWinRT : public CapturePlatform {
 public:
  bool isSupported() override;
  std::unique_ptr<Device> createDevice(IDXGIDevice* dxgiDevice) override;
  std::unique_ptr<Item> createItemForWindow(HWND hwnd) override;
  std::unique_ptr<FramePool> createFreeThreadedFramePool(Device& device, int32_t pixelFormat,
                                                         int32_t bufferCount, Size size) override;
};

}  // namespace quorvane::host
