#include "capture/WindowCapture.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <spdlog/spdlog.h>

#include "capture/CaptureError.h"
#include "capture/CaptureFailureReport.h"
#include "capture/CapturePlatform.h"

using Microsoft::WRL::ComPtr;

namespace quorvane::host {

namespace {

constexpr int32_t kPixelFormatB8G8R8A8 = 87;
constexpr int32_t kBufferCount = 2;
constexpr int kMinimumBuild = 18362;

// Frames of all captures that reached delivery; the first one is logged.
std::atomic<uint64_t> deliveredFrames{0};

uint64_t handleValue(HWND hwnd) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd)); }

int getWindowsBuildNumber() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ,
                    &key) != ERROR_SUCCESS) {
    return 0;
  }
  wchar_t buffer[32] = {};
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  const LONG result =
      RegQueryValueExW(key, L"CurrentBuildNumber", nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (result != ERROR_SUCCESS) {
    return 0;
  }
  int build = 0;
  for (const wchar_t* p = buffer; *p >= L'0' && *p <= L'9' && build < 100000000; ++p) {
    build = build * 10 + (*p - L'0');
  }
  return build;
}

}  // namespace

struct WindowCapture::Impl {
  std::unique_ptr<CapturePlatform::Device> d3dDevice;
  std::unique_ptr<CapturePlatform::Item> item;
  std::unique_ptr<CapturePlatform::FramePool> framePool;
  std::unique_ptr<CapturePlatform::Session> captureSession;
  CapturePlatform::Token closedToken = 0;
  CapturePlatform::Token frameArrivedToken = 0;
  bool closedRegistered = false;
  bool frameArrivedRegistered = false;
};

// Admits event calls while capturing and counts those in progress, so that a stop can wait for
// them. Held by the handlers too, so a call that races with destruction finds it closed.
struct WindowCapture::Gate {
  enum class State { Idle, Capturing, Stopping };

  std::mutex mutex;
  std::condition_variable changed;
  State state = State::Idle;
  int active = 0;
  std::shared_ptr<const CaptureFrameCallback> callback;

  static thread_local const Gate* current;

  // True when the call may go on; it must then end with leave().
  bool enter() {
    std::lock_guard<std::mutex> lock(mutex);
    if (state != State::Capturing) {
      return false;
    }
    ++active;
    return true;
  }
  void leave() {
    std::lock_guard<std::mutex> lock(mutex);
    --active;
    changed.notify_all();
  }
  bool insideCall() const { return current == this; }
  void waitForCalls() {
    const int own = insideCall() ? 1 : 0;
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return active <= own; });
  }

  // Runs fn as one admitted call on this thread.
  template <typename Fn>
  void call(Fn&& fn) {
    if (!enter()) {
      return;
    }
    const Gate* previous = current;
    current = this;
    fn();
    current = previous;
    leave();
  }
};

thread_local const WindowCapture::Gate* WindowCapture::Gate::current = nullptr;

WindowCapture::WindowCapture() : impl(std::make_unique<Impl>()), gate(std::make_shared<Gate>()) {}

WindowCapture::~WindowCapture() {
  stopCapture();
  gate->waitForCalls();
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    gate->callback.reset();
  }
  device.Reset();
  impl.reset();
}

bool WindowCapture::isSupported() {
  try {
    return CapturePlatform::instance().isSupported();
  } catch (...) {
    return false;
  }
}

bool WindowCapture::initialize(HWND window, ID3D11Device* d3dDevice) {
  const int build = getWindowsBuildNumber();
  if (build >= 1 && build < kMinimumBuild) {
    SPDLOG_ERROR(
        "Windows version too old! Build {} detected, but 18362 (Windows 10 version 1903, May 2019 Update) or "
        "later is "
        "required for window capture. Please update Windows to use this feature.",
        build);
    return false;
  }
  if (!isSupported()) {
    SPDLOG_ERROR("Windows Graphics Capture is not supported on this system. Windows Build: {}", build);
    return false;
  }
  if (!IsWindow(window)) {
    SPDLOG_ERROR("Invalid window handle");
    return false;
  }
  hwnd = window;
  device = d3dDevice;
  try {
    RECT rect{};
    if (!GetClientRect(hwnd, &rect)) {
      SPDLOG_ERROR("Failed to get window rect");
      return false;
    }
    width = static_cast<uint32_t>(rect.right - rect.left);
    height = static_cast<uint32_t>(rect.bottom - rect.top);
    if (width == 0 || height == 0) {
      SPDLOG_ERROR("Window has zero size");
      return false;
    }
    SPDLOG_INFO("WindowCapture initialized for HWND {:x}, size {}x{}", handleValue(hwnd), width.load(),
                height.load());
    return true;
  } catch (const std::exception& e) {
    SPDLOG_ERROR("Failed to initialize WindowCapture: {}", e.what());
    return false;
  }
}

bool WindowCapture::startCapture(CaptureFrameCallback callback) {
  const spdlog::source_loc here{__FILE__, __LINE__, static_cast<const char*>(__FUNCTION__)};
  if (capturing) {
    SPDLOG_WARN("Capture already started");
    return true;
  }
  if (hwnd == nullptr || !device) {
    SPDLOG_ERROR("WindowCapture not initialized");
    return false;
  }
  if (!CaptureFailureReport::logDiagnostics(here, hwnd, device.Get(),
                                            static_cast<uint32_t>(getWindowsBuildNumber()), isSupported())) {
    return false;
  }

  auto& platform = CapturePlatform::instance();
  try {
    {
      std::lock_guard<std::mutex> lock(gate->mutex);
      gate->callback = std::make_shared<const CaptureFrameCallback>(std::move(callback));
    }
    SPDLOG_INFO("Creating Direct3D device wrapper...");
    ComPtr<IDXGIDevice> dxgiDevice;
    if (FAILED(device.As(&dxgiDevice))) {
      throw std::runtime_error("Failed to get DXGI device");
    }
    impl->d3dDevice = platform.createDevice(dxgiDevice.Get());
    if (!impl->d3dDevice) {
      throw std::runtime_error("Failed to create Direct3D11 device");
    }
    dxgiDevice.Reset();
    SPDLOG_INFO("Direct3D device wrapper created successfully");
    SPDLOG_INFO("Creating capture item for window {:x}...", handleValue(hwnd));

    impl->item = platform.createItemForWindow(hwnd);
    if (!impl->item) {
      throw std::runtime_error("Failed to create capture item for window");
    }
    const CapturePlatform::Size size = impl->item->size();
    width = static_cast<uint32_t>(size.width);
    height = static_cast<uint32_t>(size.height);

    impl->framePool =
        platform.createFreeThreadedFramePool(*impl->d3dDevice, kPixelFormatB8G8R8A8, kBufferCount, size);
    poolWidth = static_cast<uint32_t>(size.width);
    poolHeight = static_cast<uint32_t>(size.height);

    std::weak_ptr<Gate> weakGate = gate;
    impl->closedToken = impl->item->addClosedHandler([this, weakGate] {
      if (auto g = weakGate.lock()) {
        g->call([this] { onWindowClosed(); });
      }
    });
    impl->closedRegistered = true;
    impl->frameArrivedToken = impl->framePool->addFrameArrivedHandler([this, weakGate] {
      if (auto g = weakGate.lock()) {
        g->call([this] { processFrame(); });
      }
    });
    impl->frameArrivedRegistered = true;

    impl->captureSession = impl->framePool->createCaptureSession(*impl->item);
    impl->captureSession->setBorderRequired(false);
    impl->captureSession->setCursorCaptureEnabled(true);
    {
      // Admit events before the first frame can arrive.
      std::lock_guard<std::mutex> lock(gate->mutex);
      gate->state = Gate::State::Capturing;
    }
    capturing = true;
    try {
      impl->captureSession->start();
    } catch (...) {
      capturing = false;
      {
        std::lock_guard<std::mutex> lock(gate->mutex);
        gate->state = Gate::State::Idle;
      }
      gate->waitForCalls();
      throw;
    }
    SPDLOG_INFO("Capture started for window {:x}", handleValue(hwnd));
    return true;
  } catch (const CaptureError& e) {
    CaptureFailureReport::logFailure(here, e.code(), e.what(),
                                     static_cast<uint32_t>(getWindowsBuildNumber()));
  } catch (const std::exception& e) {
    spdlog::default_logger_raw()->log(here, spdlog::level::err, "Failed to start capture: {}", e.what());
  }
  return false;
}

void WindowCapture::stopCapture() {
  {
    std::unique_lock<std::mutex> lock(gate->mutex);
    if (gate->state != Gate::State::Capturing) {
      // Another thread may be stopping: wait for it to finish, unless this thread is inside
      // one of this capture's calls, which that stop is waiting for.
      if (gate->state == Gate::State::Stopping && !gate->insideCall()) {
        gate->changed.wait(lock, [&] { return gate->state != Gate::State::Stopping; });
      }
      return;
    }
    gate->state = Gate::State::Stopping;
  }
  capturing = false;

  try {
    if (impl->frameArrivedRegistered && impl->framePool) {
      impl->frameArrivedRegistered = false;
      impl->framePool->removeFrameArrivedHandler(impl->frameArrivedToken);
    }
    if (impl->closedRegistered && impl->item) {
      impl->closedRegistered = false;
      impl->item->removeClosedHandler(impl->closedToken);
    }
  } catch (...) {
  }
  gate->waitForCalls();

  try {
    if (impl->captureSession) {
      impl->captureSession->close();
      impl->captureSession.reset();
    }
    if (impl->framePool) {
      impl->framePool->close();
      impl->framePool.reset();
    }
    impl->item.reset();
    impl->d3dDevice.reset();
  } catch (...) {
  }

  std::shared_ptr<const CaptureFrameCallback> released;
  {
    std::lock_guard<std::mutex> lock(gate->mutex);
    released = std::move(gate->callback);
    gate->state = Gate::State::Idle;
    gate->changed.notify_all();
  }
  released.reset();
  SPDLOG_INFO("Capture stopped");
}

void WindowCapture::getSize(uint32_t& outWidth, uint32_t& outHeight) const {
  outWidth = width;
  outHeight = height;
}

void WindowCapture::onWindowClosed() {
  SPDLOG_INFO("Captured window was closed");
  stopCapture();
}

void WindowCapture::processFrame() {
  if (!capturing) {
    return;
  }
  try {
    std::unique_ptr<CapturePlatform::Frame> frame = impl->framePool->tryGetNextFrame();
    if (!frame || !frame->hasSurface()) {
      return;
    }
    const CapturePlatform::Size content = frame->contentSize();
    if (content.width <= 0 || content.height <= 0) {
      return;  // nothing to show, and no pool can be made that small
    }
    const auto contentWidth = static_cast<uint32_t>(content.width);
    const auto contentHeight = static_cast<uint32_t>(content.height);
    if (contentWidth != poolWidth || contentHeight != poolHeight) {
      SPDLOG_INFO("Recreating frame pool: {}x{} -> {}x{}", poolWidth, poolHeight, contentWidth,
                  contentHeight);
      impl->framePool->recreate(*impl->d3dDevice, kPixelFormatB8G8R8A8, kBufferCount, content);
      // Only a pool that was made counts: a failed attempt is repeated with the next frame.
      poolWidth = contentWidth;
      poolHeight = contentHeight;
      return;
    }

    ComPtr<ID3D11Texture2D> texture;
    const HRESULT hr = frame->getTexture(texture.GetAddressOf());
    if (FAILED(hr) || !texture) {
      SPDLOG_ERROR("Failed to get texture from frame: {:x}", static_cast<uint32_t>(hr));
      return;
    }
    width = contentWidth;
    height = contentHeight;
    if (deliveredFrames.fetch_add(1) == 0) {
      D3D11_TEXTURE2D_DESC desc{};
      texture->GetDesc(&desc);
      SPDLOG_INFO("First capture frame: {}x{}, format={}", desc.Width, desc.Height,
                  static_cast<int>(desc.Format));
    }

    std::shared_ptr<const CaptureFrameCallback> callback;
    {
      std::lock_guard<std::mutex> lock(gate->mutex);
      callback = gate->callback;
    }
    if (callback && *callback) {
      (*callback)(texture.Get(), width.load(), height.load());
    }
  } catch (const CaptureError& e) {
    SPDLOG_ERROR("WinRT error processing frame: {}", e.what());
  } catch (const std::exception& e) {
    SPDLOG_ERROR("Error processing frame: {}", e.what());
  }
}

}  // namespace quorvane::host
