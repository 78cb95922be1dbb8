// Frame and log-lock timings of the control window on a real window and swap chain.
#include <d3d11.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <imgui.h>
#include <imgui_internal.h>
#include <spdlog/spdlog.h>

#include "ui/UIManager.h"

namespace quorvane::host {
// Selects a page without clicking.
class UIManagerTestAccess {
 public:
  static void selectPage(UIManager& ui, int32_t page) { ui.currentPage = page; }
};
}  // namespace quorvane::host

using namespace quorvane::host;
using Microsoft::WRL::ComPtr;

namespace {

constexpr int kFrames = 400;

// The UI library's own part of each frame, from the start of its new frame to its finished
// draw lists: the drawing code's CPU work without the renderer backend, which under Wine
// also waits for the emulated device.
double frameStart = 0;
std::vector<double> frameBuilds;

double nowMicroseconds() {
  static LARGE_INTEGER frequency{};
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcW(window, message, wParam, lParam);
}

struct Surface {
  HWND window = nullptr;
  ComPtr<ID3D11Device> device;
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<IDXGISwapChain1> swapChain;
  ComPtr<ID3D11RenderTargetView> target;

  bool create() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = windowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"QuorvaneUiBench";
    RegisterClassExW(&windowClass);
    window = CreateWindowExW(0, L"QuorvaneUiBench", L"Quorvane Host", WS_POPUP | WS_VISIBLE, 0, 0, 1400, 900,
                             nullptr, nullptr, windowClass.hInstance, nullptr);
    const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
    if (!window ||
        FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                 levels, 2, D3D11_SDK_VERSION, &device, nullptr, &context))) {
      return false;
    }
    ComPtr<IDXGIDevice> dxgiDevice;
    ComPtr<IDXGIAdapter> adapter;
    ComPtr<IDXGIFactory2> factory;
    device.As(&dxgiDevice);
    dxgiDevice->GetAdapter(&adapter);
    adapter->GetParent(IID_PPV_ARGS(&factory));
    DXGI_SWAP_CHAIN_DESC1 desc{};
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    if (FAILED(factory->CreateSwapChainForHwnd(device.Get(), window, &desc, nullptr, nullptr, &swapChain))) {
      return false;
    }
    ComPtr<ID3D11Texture2D> backBuffer;
    swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer));
    return SUCCEEDED(device->CreateRenderTargetView(backBuffer.Get(), nullptr, &target));
  }

  // One frame as the entry function draws it; returns the microseconds spent in render().
  double frame(UIManager& ui) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    const float clear[] = {0.06f, 0.06f, 0.10f, 1.0f};
    context->OMSetRenderTargets(1, target.GetAddressOf(), nullptr);
    context->ClearRenderTargetView(target.Get(), clear);
    const double start = nowMicroseconds();
    ui.render();
    const double spent = nowMicroseconds() - start;
    swapChain->Present(0, 0);
    return spent;
  }
};

}  // namespace

int main() {
  spdlog::set_level(spdlog::level::warn);
  Surface surface;
  if (!surface.create()) {
    std::fprintf(stderr, "no window or swap chain\n");
    return 1;
  }
  UIManager ui(surface.window, surface.device.Get(), surface.context.Get());
  ui.initialize();
  std::vector<quorvane::protocol::WindowInfo> list(50);
  for (size_t i = 0; i < list.size(); ++i) {
    list[i].id = static_cast<uint32_t>(0x1000 + i);
    list[i].title = "Document " + std::to_string(i) + " - a fairly long window title of some application";
    list[i].processName = "application" + std::to_string(i) + ".exe";
  }
  ui.updateWindowList(list);
  for (int i = 0; i < 1000; ++i) {
    ui.addLog(i % 6, "[2024-01-01 12:00:00.000] [info] [QuorvaneHost] component message number " +
                         std::to_string(i));
  }

  const char* names[] = {"dashboard (50 windows)", "streaming", "audio", "input", "settings",
                         "logs (1000 lines)",      "about"};
  ImGuiContextHook hook{};
  hook.Type = ImGuiContextHookType_NewFramePre;
  hook.Callback = [](ImGuiContext*, ImGuiContextHook*) { frameStart = nowMicroseconds(); };
  ImGui::AddContextHook(ImGui::GetCurrentContext(), &hook);
  hook.Type = ImGuiContextHookType_RenderPost;
  hook.Callback = [](ImGuiContext*, ImGuiContextHook*) {
    frameBuilds.push_back(nowMicroseconds() - frameStart);
  };
  ImGui::AddContextHook(ImGui::GetCurrentContext(), &hook);

  std::printf("Per page, %d frames each, microseconds:\n", kFrames);
  for (int page = 0; page < 7; ++page) {
    UIManagerTestAccess::selectPage(ui, page);
    for (int i = 0; i < 20; ++i) surface.frame(ui);
    std::vector<double> times;
    frameBuilds.clear();
    for (int i = 0; i < kFrames; ++i) times.push_back(surface.frame(ui));
    std::printf("  %-24s render() p50 %6.0f  p99 %6.0f   UI frame p50 %6.0f  p99 %6.0f\n", names[page],
                percentile(times, 0.5), percentile(times, 0.99), percentile(frameBuilds, 0.5),
                percentile(frameBuilds, 0.99));
  }

  // A thread logs every 200 microseconds while the main thread draws a page every frame
  // (or sleeps); every addLog call is timed. The log view with 1000 lines is the case that
  // matters; the dashboard and the idle main thread show what the machine alone costs.
  const struct {
    const char* name;
    int page;  // -1: no drawing
  } cases[] = {{"log view drawn", 5}, {"dashboard drawn", 0}, {"nothing drawn", -1}};
  for (const auto& c : cases) {
    if (c.page >= 0) UIManagerTestAccess::selectPage(ui, c.page);
    std::atomic<bool> running{true};
    std::vector<double> waits;
    std::thread logger([&] {
      int n = 0;
      while (running.load()) {
        const double start = nowMicroseconds();
        ui.addLog(2, "background line " + std::to_string(n++));
        const double end = nowMicroseconds();
        waits.push_back(end - start);
        while (nowMicroseconds() - end < 200) std::this_thread::yield();
      }
    });
    for (int i = 0; i < kFrames; ++i) {
      if (c.page >= 0) {
        surface.frame(ui);
      } else {
        Sleep(8);
      }
    }
    running = false;
    logger.join();
    std::printf("addLog, %-16s (%5zu calls): p50 %6.1f  p99 %7.1f  p99.9 %7.1f  max %7.1f microseconds\n",
                c.name, waits.size(), percentile(waits, 0.5), percentile(waits, 0.99),
                percentile(waits, 0.999), percentile(waits, 1.0));
  }
  ui.shutdown();
  return 0;
}
