#pragma once

#include <windows.h>
#include <d3d11.h>
#include <dxgi.h>

#include <cstdint>
#include <functional>
#include <memory>

namespace quorvane::host {

// The few calls WindowCapture makes into the system's window-capture runtime, one wrapper
// object per runtime object. Every failing call throws CaptureError unless its comment says
// otherwise. The product links the implementation that talks to the runtime; another one can
// be linked in its place.
class CapturePlatform {
 public:
  struct Size {
    int32_t width = 0;
    int32_t height = 0;
  };
  using Handler = std::function<void()>;
  using Token = int64_t;

  // The runtime's wrapper of a Direct3D 11 device.
  class Device {
   public:
    virtual ~Device() = default;
  };

  class Frame {
   public:
    virtual ~Frame() = default;
    virtual bool hasSurface() = 0;
    virtual Size contentSize() = 0;
    // The surface's texture through its DXGI access interface: the call's result code, with
    // *texture holding one reference on success. Throws when the surface has no such interface.
    virtual HRESULT getTexture(ID3D11Texture2D** texture) = 0;
  };

  class Session {
   public:
    virtual ~Session() = default;
    virtual void setBorderRequired(bool required) = 0;
    virtual void setCursorCaptureEnabled(bool enabled) = 0;
    virtual void start() = 0;
    virtual void close() = 0;
  };

  class Item {
   public:
    virtual ~Item() = default;
    virtual Size size() = 0;
    // Handlers run on whichever thread the runtime raises the event; removing one does not
    // wait for a call in progress.
    virtual Token addClosedHandler(Handler handler) = 0;
    virtual void removeClosedHandler(Token token) = 0;
  };

  class FramePool {
   public:
    virtual ~FramePool() = default;
    virtual Token addFrameArrivedHandler(Handler handler) = 0;
    virtual void removeFrameArrivedHandler(Token token) = 0;
    // Null when no frame is waiting.
    virtual std::unique_ptr<Frame> tryGetNextFrame() = 0;
    virtual void recreate(Device& device, int32_t pixelFormat, int32_t bufferCount, Size size) = 0;
    virtual std::unique_ptr<Session> createCaptureSession(Item& item) = 0;
    virtual void close() = 0;
  };

  virtual ~CapturePlatform() = default;

  virtual bool isSupported() = 0;
  // Null when the system refuses to wrap the device.
  virtual std::unique_ptr<Device> createDevice(IDXGIDevice* dxgiDevice) = 0;
  // Null when the system refuses to make an item for the window.
  virtual std::unique_ptr<Item> createItemForWindow(HWND hwnd) = 0;
  // A pool that raises FrameArrived on a worker thread of its own.
  virtual std::unique_ptr<FramePool> createFreeThreadedFramePool(Device& device, int32_t pixelFormat,
                                                                 int32_t bufferCount, Size size) = 0;

  // The implementation linked into the program.
  static CapturePlatform& instance();
};

}  // namespace quorvane::host
