#pragma once

#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace quorvane::host {

// Receives each captured frame: the frame's own B8G8R8A8 texture, valid only during the call,
// and its content size.
using CaptureFrameCallback = std::function<void(ID3D11Texture2D* texture, uint32_t width, uint32_t height)>;

// Captures one top-level window into Direct3D 11 textures and hands every frame, on the thread
// that delivered it, to a callback.
//
// Stopping runs once however many threads ask; it revokes the event handlers and waits for a
// frame in delivery, unless it is called from inside that delivery (the callback or the closed
// event), in which case the delivery ends when it returns. Destruction waits for every delivery.
class WindowCapture {
 public:
  WindowCapture();
  ~WindowCapture();
  WindowCapture(const WindowCapture&) = delete;
  WindowCapture& operator=(const WindowCapture&) = delete;

  bool initialize(HWND hwnd, ID3D11Device* device);
  bool startCapture(CaptureFrameCallback callback);
  void stopCapture();
  bool isCapturing() const { return capturing.load(); }
  void getSize(uint32_t& width, uint32_t& height) const;

 private:
  struct Impl;
  struct Gate;

  void processFrame();
  void onWindowClosed();
  static bool isSupported();

  std::unique_ptr<Impl> impl;
  HWND hwnd = nullptr;
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  // Shared with the event handlers, which may outlive a call in progress.
  std::shared_ptr<Gate> gate;
  std::atomic<bool> capturing{false};
  std::atomic<uint32_t> width{0};
  std::atomic<uint32_t> height{0};
  uint32_t poolWidth = 0;
  uint32_t poolHeight = 0;
};

}  // namespace quorvane::host
