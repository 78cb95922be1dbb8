#include "CapturePlatformStandin.h"

#include <wrl/client.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "StandinCaptureControl.h"
#include "capture/CaptureError.h"

using Microsoft::WRL::ComPtr;
using Step = quorvane::host::StandinCaptureControl::Step;

namespace quorvane::host {

namespace {

void failIfTold(Step step) { CaptureError::check(StandinCaptureControl::takeFailure(step)); }

// Handlers of one event, called outside the lock like the runtime does.
class HandlerList {
 public:
  CapturePlatform::Token add(CapturePlatform::Handler handler) {
    std::lock_guard<std::mutex> lock(mutex);
    handlers.emplace(next, std::move(handler));
    return next++;
  }
  void remove(CapturePlatform::Token token) {
    std::lock_guard<std::mutex> lock(mutex);
    handlers.erase(token);
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    handlers.clear();
  }
  void raise() {
    std::vector<CapturePlatform::Handler> calls;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto& entry : handlers) {
        calls.push_back(entry.second);
      }
    }
    for (auto& call : calls) {
      call();
    }
  }

 private:
  std::mutex mutex;
  std::map<CapturePlatform::Token, CapturePlatform::Handler> handlers;
  CapturePlatform::Token next = 1;
};

class StandinDevice : public CapturePlatform::Device {
 public:
  explicit StandinDevice(ComPtr<ID3D11Device> device) : device(std::move(device)) {}
  ComPtr<ID3D11Device> device;
};

struct ItemState {
  HWND hwnd = nullptr;
  HandlerList closed;
};

CapturePlatform::Size windowSize(HWND hwnd) {
  RECT rect{};
  if (!GetWindowRect(hwnd, &rect)) {
    return {};
  }
  return {rect.right - rect.left, rect.bottom - rect.top};
}

class StandinItem : public CapturePlatform::Item {
 public:
  explicit StandinItem(HWND hwnd) : state(std::make_shared<ItemState>()) { state->hwnd = hwnd; }
  CapturePlatform::Size size() override { return windowSize(state->hwnd); }
  CapturePlatform::Token addClosedHandler(CapturePlatform::Handler handler) override {
    return state->closed.add(std::move(handler));
  }
  void removeClosedHandler(CapturePlatform::Token token) override { state->closed.remove(token); }
  std::shared_ptr<ItemState> state;
};

// Reads a window's pixels (the whole window, like the runtime) into a 32-bit top-down bitmap.
class WindowGrabber {
 public:
  ~WindowGrabber() { release(); }

  // Pixels of width x height, BGRA, alpha made opaque; null when the window cannot be read.
  const uint8_t* grab(HWND hwnd, int width, int height) {
    if (width != bitmapWidth || height != bitmapHeight) {
      release();
      BITMAPINFO info{};
      info.bmiHeader.biSize = sizeof(info.bmiHeader);
      info.bmiHeader.biWidth = width;
      info.bmiHeader.biHeight = -height;
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = 32;
      info.bmiHeader.biCompression = BI_RGB;
      memoryDc = CreateCompatibleDC(nullptr);
      bitmap = CreateDIBSection(memoryDc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
      if (memoryDc == nullptr || bitmap == nullptr) {
        release();
        return nullptr;
      }
      previous = SelectObject(memoryDc, bitmap);
      bitmapWidth = width;
      bitmapHeight = height;
    }
    HDC windowDc = GetWindowDC(hwnd);
    if (windowDc == nullptr) {
      return nullptr;
    }
    const BOOL copied = BitBlt(memoryDc, 0, 0, width, height, windowDc, 0, 0, SRCCOPY);
    ReleaseDC(hwnd, windowDc);
    if (!copied) {
      return nullptr;
    }
    GdiFlush();
    const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
    for (size_t i = 0; i < count; ++i) {
      bits[i * 4 + 3] = 0xff;
    }
    return bits;
  }

 private:
  void release() {
    if (memoryDc != nullptr && previous != nullptr) {
      SelectObject(memoryDc, previous);
    }
    if (bitmap != nullptr) {
      DeleteObject(bitmap);
    }
    if (memoryDc != nullptr) {
      DeleteDC(memoryDc);
    }
    memoryDc = nullptr;
    bitmap = nullptr;
    previous = nullptr;
    bits = nullptr;
    bitmapWidth = bitmapHeight = 0;
  }

  HDC memoryDc = nullptr;
  HBITMAP bitmap = nullptr;
  HGDIOBJ previous = nullptr;
  uint8_t* bits = nullptr;
  int bitmapWidth = 0;
  int bitmapHeight = 0;
};

struct ReadyFrame {
  ComPtr<ID3D11Texture2D> texture;
  CapturePlatform::Size content;
};

struct PoolState {
  std::mutex mutex;
  std::condition_variable wake;
  ComPtr<ID3D11Device> device;
  CapturePlatform::Size size;
  int32_t bufferCount = 2;
  std::deque<ReadyFrame> ready;
  int outstanding = 0;
  HandlerList frameArrived;
  bool closed = false;
  bool stopping = false;
  std::thread worker;

  void stopWorker() {
    std::thread finished;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
      if (worker.joinable()) {
        finished = std::move(worker);
      }
    }
    wake.notify_all();
    if (finished.joinable()) {
      if (finished.get_id() == std::this_thread::get_id()) {
        finished.detach();  // stopped from one of its own events: it ends after the event returns
      } else {
        finished.join();
      }
    }
  }

  void close() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      closed = true;
      ready.clear();
    }
    frameArrived.clear();
    stopWorker();
  }
};

double displayRate() {
  DEVMODEW mode{};
  mode.dmSize = sizeof(mode);
  if (EnumDisplaySettingsW(nullptr, ENUM_CURRENT_SETTINGS, &mode) && mode.dmDisplayFrequency > 1) {
    return static_cast<double>(mode.dmDisplayFrequency);
  }
  return 60.0;
}

ComPtr<ID3D11Texture2D> makeTexture(ID3D11Device* device, CapturePlatform::Size bufferSize,
                                    const uint8_t* pixels, int width, int height,
                                    std::vector<uint8_t>& scratch) {
  const size_t stride = static_cast<size_t>(bufferSize.width) * 4;
  scratch.assign(stride * static_cast<size_t>(bufferSize.height), 0);
  const int rows = std::min(height, bufferSize.height);
  const size_t rowBytes = static_cast<size_t>(std::min(width, bufferSize.width)) * 4;
  for (int y = 0; y < rows; ++y) {
    std::memcpy(scratch.data() + stride * static_cast<size_t>(y), pixels + static_cast<size_t>(y) * width * 4,
                rowBytes);
  }
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = static_cast<UINT>(bufferSize.width);
  desc.Height = static_cast<UINT>(bufferSize.height);
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
  D3D11_SUBRESOURCE_DATA data{scratch.data(), static_cast<UINT>(stride), 0};
  ComPtr<ID3D11Texture2D> texture;
  if (FAILED(device->CreateTexture2D(&desc, &data, &texture))) {
    return nullptr;
  }
  return texture;
}

void runWorker(std::shared_ptr<PoolState> pool, std::shared_ptr<ItemState> item) {
  StandinCaptureControl::workerStarted();
  const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
      std::chrono::duration<double>(1.0 / displayRate()));
  auto next = std::chrono::steady_clock::now();
  WindowGrabber grabber;
  std::vector<uint8_t> scratch;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(pool->mutex);
      if (pool->wake.wait_until(lock, next, [&] { return pool->stopping; })) {
        break;
      }
    }
    next += interval;
    const auto now = std::chrono::steady_clock::now();
    if (next < now) {
      next = now + interval;
    }
    if (!IsWindow(item->hwnd)) {
      item->closed.raise();
      break;
    }
    if (IsIconic(item->hwnd)) {
      continue;
    }
    ComPtr<ID3D11Device> device;
    CapturePlatform::Size bufferSize;
    {
      std::lock_guard<std::mutex> lock(pool->mutex);
      if (static_cast<int>(pool->ready.size()) + pool->outstanding >= pool->bufferCount) {
        continue;  // every buffer is taken: the runtime skips frames until one comes back
      }
      device = pool->device;
      bufferSize = pool->size;
    }
    const CapturePlatform::Size window = windowSize(item->hwnd);
    if (window.width <= 0 || window.height <= 0 || bufferSize.width <= 0 || bufferSize.height <= 0) {
      continue;
    }
    const uint8_t* pixels = grabber.grab(item->hwnd, window.width, window.height);
    if (pixels == nullptr) {
      continue;
    }
    ComPtr<ID3D11Texture2D> texture =
        makeTexture(device.Get(), bufferSize, pixels, window.width, window.height, scratch);
    if (!texture) {
      continue;
    }
    CapturePlatform::Size content = window;
    if (auto forced = StandinCaptureControl::contentSizeOverride()) {
      content = {forced->cx, forced->cy};
    }
    {
      std::lock_guard<std::mutex> lock(pool->mutex);
      if (pool->stopping || pool->closed) {
        break;
      }
      pool->ready.push_back({std::move(texture), content});
    }
    const auto raisedAt = std::chrono::steady_clock::now();
    pool->frameArrived.raise();
    StandinCaptureControl::frameRaised(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - raisedAt).count());
  }
  StandinCaptureControl::workerEnded();
}

class StandinFrame : public CapturePlatform::Frame {
 public:
  StandinFrame(std::shared_ptr<PoolState> pool, ReadyFrame frame)
      : pool(std::move(pool)), frame(std::move(frame)) {}
  ~StandinFrame() override {
    std::lock_guard<std::mutex> lock(pool->mutex);
    --pool->outstanding;
  }
  bool hasSurface() override { return frame.texture != nullptr; }
  CapturePlatform::Size contentSize() override { return frame.content; }
  HRESULT getTexture(ID3D11Texture2D** texture) override {
    const HRESULT failure = StandinCaptureControl::takeFailure(Step::GetTexture);
    if (FAILED(failure)) {
      return failure;
    }
    return frame.texture.CopyTo(texture);
  }

 private:
  std::shared_ptr<PoolState> pool;
  ReadyFrame frame;
};

class StandinSession : public CapturePlatform::Session {
 public:
  StandinSession(std::shared_ptr<PoolState> pool, std::shared_ptr<ItemState> item)
      : pool(std::move(pool)), item(std::move(item)) {}
  void setBorderRequired(bool) override { failIfTold(Step::SetBorder); }
  void setCursorCaptureEnabled(bool) override { failIfTold(Step::SetCursor); }
  void start() override {
    failIfTold(Step::StartCapture);
    std::lock_guard<std::mutex> lock(pool->mutex);
    if (!pool->worker.joinable() && !pool->stopping) {
      pool->worker = std::thread(runWorker, pool, item);
    }
  }
  void close() override { pool->stopWorker(); }

 private:
  std::shared_ptr<PoolState> pool;
  std::shared_ptr<ItemState> item;
};

class StandinFramePool : public CapturePlatform::FramePool {
 public:
  explicit StandinFramePool(std::shared_ptr<PoolState> state) : state(std::move(state)) {}
  ~StandinFramePool() override { state->close(); }
  CapturePlatform::Token addFrameArrivedHandler(CapturePlatform::Handler handler) override {
    return state->frameArrived.add(std::move(handler));
  }
  void removeFrameArrivedHandler(CapturePlatform::Token token) override { state->frameArrived.remove(token); }
  std::unique_ptr<CapturePlatform::Frame> tryGetNextFrame() override {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->closed || state->ready.empty()) {
      return nullptr;
    }
    ReadyFrame frame = std::move(state->ready.front());
    state->ready.pop_front();
    ++state->outstanding;
    return std::make_unique<StandinFrame>(state, std::move(frame));
  }
  void recreate(CapturePlatform::Device& device, int32_t, int32_t bufferCount,
                CapturePlatform::Size size) override {
    failIfTold(Step::Recreate);
    std::lock_guard<std::mutex> lock(state->mutex);
    state->device = static_cast<StandinDevice&>(device).device;
    state->bufferCount = bufferCount;
    state->size = size;
    state->ready.clear();
  }
  std::unique_ptr<CapturePlatform::Session> createCaptureSession(CapturePlatform::Item& item) override {
    failIfTold(Step::CreateSession);
    return std::make_unique<StandinSession>(state, static_cast<StandinItem&>(item).state);
  }
  void close() override { state->close(); }

 private:
  std::shared_ptr<PoolState> state;
};

}  // namespace

bool CapturePlatformStandin::isSupported() {
  failIfTold(Step::IsSupported);
  return StandinCaptureControl::supported();
}

std::unique_ptr<CapturePlatform::Device> CapturePlatformStandin::createDevice(IDXGIDevice* dxgiDevice) {
  ComPtr<ID3D11Device> device;
  if (FAILED(StandinCaptureControl::takeFailure(Step::CreateDevice)) || dxgiDevice == nullptr ||
      FAILED(dxgiDevice->QueryInterface(IID_PPV_ARGS(&device)))) {
    return nullptr;
  }
  return std::make_unique<StandinDevice>(std::move(device));
}

std::unique_ptr<CapturePlatform::Item> CapturePlatformStandin::createItemForWindow(HWND hwnd) {
  if (FAILED(StandinCaptureControl::takeFailure(Step::CreateItem)) || !IsWindow(hwnd)) {
    return nullptr;
  }
  return std::make_unique<StandinItem>(hwnd);
}

std::unique_ptr<CapturePlatform::FramePool> CapturePlatformStandin::createFreeThreadedFramePool(
    Device& device, int32_t, int32_t bufferCount, Size size) {
  failIfTold(Step::CreateFramePool);
  auto state = std::make_shared<PoolState>();
  state->device = static_cast<StandinDevice&>(device).device;
  state->bufferCount = bufferCount;
  state->size = size;
  return std::make_unique<StandinFramePool>(std::move(state));
}

CapturePlatform& CapturePlatform::instance() {
  static CapturePlatformStandin platform;
  return platform;
}

}  // namespace quorvane::host
