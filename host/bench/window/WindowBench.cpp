// Times the window list with icons (first and repeated) and the sharpening draw at 1920 x 1088.
#include <d3d11.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <spdlog/spdlog.h>

#include "capture/CASProcessor.h"
#include "capture/WindowEnumerator.h"
#include "support/D3DTest.h"
#include "window/TestIcon.h"

using Microsoft::WRL::ComPtr;
using quorvane::host::CASProcessor;
using quorvane::host::WindowEnumerator;
using quorvane::test::createTestDevice;

namespace {

using Clock = std::chrono::steady_clock;

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

HICON makeIcon() {
  return makeTestIcon(
      32, 32,
      [](int x, int y) { return 0xFF000000u | static_cast<uint32_t>((y * 32 + x) * 2654435761u >> 8); },
      [](int, int) { return false; });
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void benchEnumeration() {
  constexpr int kWindows = 50;
  HICON icon = makeIcon();
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hIcon = icon;
  wc.lpszClassName = L"QhBenchWindow";
  RegisterClassExW(&wc);
  std::vector<HWND> windows;
  const auto created = Clock::now();
  for (int i = 0; i < kWindows; ++i) {
    wchar_t title[64];
    swprintf(title, 64, L"bench window %02d", i);
    windows.push_back(CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 20 + i,
                                      20 + i, 400, 300, nullptr, nullptr, wc.hInstance, nullptr));
  }

  std::printf("creating %d windows: %.1f ms\n", kWindows, millisecondsSince(created));
  // The first list converts every icon; the repeated ones find the windows and their icons unchanged.
  auto start = Clock::now();
  size_t listed = WindowEnumerator::enumerateWindows().size();
  const double first = millisecondsSince(start);
  std::vector<double> totals;
  for (int round = 0; round < 9; ++round) {
    start = Clock::now();
    listed = WindowEnumerator::enumerateWindows().size();
    totals.push_back(millisecondsSince(start));
  }
  std::printf("list of %zu windows: first %.1f ms, repeated median %.1f ms (%.2f ms per window)\n", listed,
              first, median(totals), median(totals) / static_cast<double>(listed));
  std::vector<double> icons;
  for (int round = 0; round < 3; ++round) {
    start = Clock::now();
    for (HWND hwnd : windows) WindowEnumerator::getWindowIconBase64(hwnd);
    icons.push_back(millisecondsSince(start) / kWindows);
  }
  std::printf("icon conversion alone: median %.2f ms per window\n", median(icons));

  // The windows go with the process: under Wine without a window manager each DestroyWindow of a
  // mapped captioned window waits two seconds for a manager that never answers.
}

void benchSharpening() {
  ComPtr<ID3D11DeviceContext> context;
  ComPtr<ID3D11Device> device = createTestDevice(&context);
  if (!device) {
    std::printf("sharpening: no Direct3D 11 device\n");
    return;
  }
  CASProcessor cas;
  if (!cas.initialize(device.Get())) {
    std::printf("sharpening: initialisation failed\n");
    return;
  }
  cas.enabled = true;

  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = 1920;
  desc.Height = 1080;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
  ComPtr<ID3D11Texture2D> source;
  device->CreateTexture2D(&desc, nullptr, &source);
  desc.Height = 1088;
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
  ComPtr<ID3D11Texture2D> target;
  device->CreateTexture2D(&desc, nullptr, &target);
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  desc.Width = 1;
  desc.Height = 1;
  ComPtr<ID3D11Texture2D> probe;
  device->CreateTexture2D(&desc, nullptr, &probe);

  // Each sample is one apply (with its view creation) followed by a one-pixel read-back, so the
  // GPU work of the draw is included, not only its submission.
  auto finish = [&] {
    D3D11_BOX box{0, 0, 0, 1, 1, 1};
    context->CopySubresourceRegion(probe.Get(), 0, 0, 0, 0, target.Get(), 0, &box);
    D3D11_MAPPED_SUBRESOURCE mapped{};
    if (SUCCEEDED(context->Map(probe.Get(), 0, D3D11_MAP_READ, 0, &mapped))) context->Unmap(probe.Get(), 0);
  };
  for (int i = 0; i < 3; ++i) {
    cas.apply(context.Get(), source.Get(), target.Get(), 1920, 1080);
    finish();
  }
  std::vector<double> submit;
  std::vector<double> complete;
  for (int i = 0; i < 30; ++i) {
    const auto start = Clock::now();
    cas.apply(context.Get(), source.Get(), target.Get(), 1920, 1080);
    submit.push_back(millisecondsSince(start));
    finish();
    complete.push_back(millisecondsSince(start));
  }
  std::printf(
      "sharpening 1920x1080 into 1920x1088: apply (views, constants, draw call) median %.3f ms, "
      "until the result is readable median %.2f ms\n",
      median(submit), median(complete));
}

}  // namespace

int main() {
  spdlog::set_level(spdlog::level::warn);
  benchEnumeration();
  benchSharpening();
  return 0;
}
