#pragma once

// Helpers of the capture tests: a real window painted with a known pattern on a thread of its
// own, a log sink that records every message, a Direct3D 11 device, texture read-back and a
// stand-in for the registry's Windows build number.

#include <windows.h>
#include <d3d11.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

namespace quorvane::test {

// Waits for a condition with a generous deadline; true when it came true.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Records the text of every log message with its level.
class LogRecorder : public spdlog::sinks::base_sink<std::mutex> {
 public:
  struct Line {
    spdlog::level::level_enum level;
    std::string text;
  };

  // The recorder attached to the default logger (attached on first use, before other threads log).
  static LogRecorder& instance() {
    static std::shared_ptr<LogRecorder> recorder = [] {
      auto r = std::make_shared<LogRecorder>();
      spdlog::default_logger()->sinks().push_back(r);
      spdlog::set_level(spdlog::level::debug);
      return r;
    }();
    return *recorder;
  }

  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    recorded.clear();
  }
  std::vector<Line> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorded;
  }
  int count(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    int n = 0;
    for (const auto& line : recorded) {
      n += line.text == text ? 1 : 0;
    }
    return n;
  }
  bool contains(const std::string& text) { return count(text) > 0; }
  bool waitFor(const std::string& text) {
    return waitUntil([&] { return contains(text); });
  }
  // The lines from the first one equal to `first` to the next one equal to `last`, both included.
  std::vector<Line> block(const std::string& first, const std::string& last) {
    std::vector<Line> result;
    bool inside = false;
    for (const auto& line : lines()) {
      inside = inside || line.text == first;
      if (inside) {
        result.push_back(line);
        if (line.text == last) {
          break;
        }
      }
    }
    return result;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    recorded.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}

 private:
  std::vector<Line> recorded;
};

// The colour a test window shows at (x, y) when it is width x height, as 0xAARRGGBB.
inline uint32_t patternPixel(int x, int y, int width, int height) {
  const uint32_t blue = static_cast<uint32_t>(x * 255 / std::max(1, width - 1));
  const uint32_t green = static_cast<uint32_t>(y * 255 / std::max(1, height - 1));
  const uint32_t red = ((x / 64 + y / 64) % 2) != 0 ? 200 : 60;
  return 0xff000000u | (red << 16) | (green << 8) | blue;
}

// A borderless top-level window that paints the pattern over its whole area. By default it
// lives on a thread of its own with a message loop; with onCallingThread it belongs to the
// caller, who must then pump its messages.
class TestWindow {
 public:
  TestWindow(int width, int height, std::wstring title = L"Capture test window", bool onCallingThread = false)
      : title(std::move(title)) {
    if (onCallingThread) {
      hwnd = create(width, height);
      return;
    }
    std::promise<HWND> created;
    auto result = created.get_future();
    thread = std::thread([this, width, height, &created] {
      HWND window = create(width, height);
      created.set_value(window);
      MSG msg;
      while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    });
    hwnd = result.get();
  }
  ~TestWindow() {
    destroy();
    if (thread.joinable()) {
      thread.join();
    }
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;

  HWND handle() const { return hwnd; }
  uint32_t id() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)); }

  void resize(int width, int height) {
    SetWindowPos(hwnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    RedrawWindow(hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
  }
  void minimize() { ShowWindow(hwnd, SW_MINIMIZE); }
  // Destroys the window on its own thread and waits for it.
  void destroy() {
    if (hwnd != nullptr && IsWindow(hwnd)) {
      if (thread.joinable()) {
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
        waitUntil([&] { return !IsWindow(hwnd); });
      } else {
        DestroyWindow(hwnd);
      }
    }
  }

 private:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(hwnd, &paint);
      RECT rect;
      GetClientRect(hwnd, &rect);
      const int width = rect.right;
      const int height = rect.bottom;
      if (width > 0 && height > 0) {
        std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
        for (int y = 0; y < height; ++y) {
          for (int x = 0; x < width; ++x) {
            pixels[static_cast<size_t>(y) * width + x] = patternPixel(x, y, width, height);
          }
        }
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof(info.bmiHeader);
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        info.bmiHeader.biCompression = BI_RGB;
        SetDIBitsToDevice(dc, 0, 0, width, height, 0, 0, 0, height, pixels.data(), &info, DIB_RGB_COLORS);
      }
      EndPaint(hwnd, &paint);
      return 0;
    }
    if (message == WM_ERASEBKGND) {
      return 1;
    }
    if (message == WM_DESTROY) {
      PostQuitMessage(0);
      return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }

  HWND create(int width, int height) {
    static const wchar_t* className = [] {
      WNDCLASSW wc{};
      wc.style = CS_HREDRAW | CS_VREDRAW;
      wc.lpfnWndProc = windowProc;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.lpszClassName = L"QuorvaneCaptureTestWindow";
      RegisterClassW(&wc);
      return L"QuorvaneCaptureTestWindow";
    }();
    HWND window = CreateWindowExW(0, className, title.c_str(), WS_POPUP | WS_VISIBLE, 0, 0, width, height,
                                  nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    UpdateWindow(window);
    return window;
  }

  std::wstring title;
  std::thread thread;
  HWND hwnd = nullptr;
};

inline Microsoft::WRL::ComPtr<ID3D11Device> createTestDevice() {
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 2,
                    D3D11_SDK_VERSION, &device, nullptr, &context);
  if (context) {
    Microsoft::WRL::ComPtr<ID3D10Multithread> multithread;
    if (SUCCEEDED(context.As(&multithread))) {
      multithread->SetMultithreadProtected(TRUE);
    }
  }
  return device;
}

// The top-left width x height of a BGRA texture, as 0xAARRGGBB values.
inline std::vector<uint32_t> readTexture(ID3D11Texture2D* texture, uint32_t width, uint32_t height) {
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  texture->GetDevice(&device);
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  D3D11_TEXTURE2D_DESC desc{};
  texture->GetDesc(&desc);
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.MiscFlags = 0;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging;
  std::vector<uint32_t> pixels;
  if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging))) {
    return pixels;
  }
  context->CopyResource(staging.Get(), texture);
  D3D11_MAPPED_SUBRESOURCE mapped{};
  if (FAILED(context->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
    return pixels;
  }
  pixels.resize(static_cast<size_t>(width) * height);
  for (uint32_t y = 0; y < height; ++y) {
    std::memcpy(&pixels[static_cast<size_t>(y) * width],
                static_cast<const uint8_t*>(mapped.pData) + y * mapped.RowPitch, width * 4);
  }
  context->Unmap(staging.Get(), 0);
  return pixels;
}

// Points HKEY_LOCAL_MACHINE of this process at a scratch key whose Windows NT version key holds
// the given build number text (or no value at all) for the life of the object.
class ScopedBuildNumber {
 public:
  explicit ScopedBuildNumber(std::optional<std::wstring> build)
      // One scratch key per process: tests of several executables share the Wine prefix.
      : rootPath(L"Software\\QuorvaneCaptureTest-" + std::to_wstring(GetCurrentProcessId())) {
    RegDeleteTreeW(HKEY_CURRENT_USER, rootPath.c_str());
    HKEY version = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER,
                    (rootPath + L"\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion").c_str(), 0, nullptr,
                    REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &version, nullptr);
    if (build) {
      RegSetValueExW(version, L"CurrentBuildNumber", 0, REG_SZ, reinterpret_cast<const BYTE*>(build->c_str()),
                     static_cast<DWORD>((build->size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(version);
    RegOpenKeyExW(HKEY_CURRENT_USER, rootPath.c_str(), 0, KEY_ALL_ACCESS, &root);
    overridden = RegOverridePredefKey(HKEY_LOCAL_MACHINE, root) == ERROR_SUCCESS;
  }
  ~ScopedBuildNumber() {
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    RegCloseKey(root);
    RegDeleteTreeW(HKEY_CURRENT_USER, rootPath.c_str());
  }
  ScopedBuildNumber(const ScopedBuildNumber&) = delete;
  ScopedBuildNumber& operator=(const ScopedBuildNumber&) = delete;

  bool active() const { return overridden; }

 private:
  std::wstring rootPath;
  HKEY root = nullptr;
  bool overridden = false;
};

}  // namespace quorvane::test
