#include "main/Entry.h"

#include "app/Application.h"
#include "logging/UISink.h"
#include "main/PresentPacer.h"
#include "ui/UIManager.h"

std::unique_ptr<quorvane::host::Application> g_app;
std::unique_ptr<quorvane::host::UIManager> g_ui;
Microsoft::WRL::ComPtr<ID3D11Device> g_d3dDevice;
Microsoft::WRL::ComPtr<ID3D11DeviceContext> g_d3dContext;
Microsoft::WRL::ComPtr<IDXGISwapChain1> g_swapChain;
Microsoft::WRL::ComPtr<ID3D11RenderTargetView> g_renderTargetView;
bool g_running = true;
uint32_t g_resizeWidth = 0;
uint32_t g_resizeHeight = 0;

#include <spdlog/spdlog.h>

bool CreateDeviceD3D(HWND hwnd) {
  g_d3dContext.Reset();
  g_d3dDevice.Reset();
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                 levels, 2, D3D11_SDK_VERSION, &g_d3dDevice, nullptr, &g_d3dContext);
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to create D3D11 device: {:#x}", static_cast<uint32_t>(hr));
    return false;
  }

  Microsoft::WRL::ComPtr<IDXGIDevice> dxgiDevice;
  Microsoft::WRL::ComPtr<IDXGIAdapter> adapter;
  Microsoft::WRL::ComPtr<IDXGIFactory2> factory;
  hr = g_d3dDevice.As(&dxgiDevice);
  if (SUCCEEDED(hr)) hr = dxgiDevice->GetAdapter(&adapter);
  if (SUCCEEDED(hr)) hr = adapter->GetParent(IID_PPV_ARGS(&factory));
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to create swap chain: {:#x}", static_cast<uint32_t>(hr));
    return false;
  }

  DXGI_SWAP_CHAIN_DESC1 desc{};
  desc.Width = 0;
  desc.Height = 0;
  desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
  desc.Stereo = FALSE;
  desc.SampleDesc = {1, 0};
  desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
  desc.BufferCount = 2;
  desc.Scaling = DXGI_SCALING_STRETCH;
  desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
  desc.AlphaMode = DXGI_ALPHA_MODE_UNSPECIFIED;
  desc.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;
  g_swapChain.Reset();
  hr = factory->CreateSwapChainForHwnd(g_d3dDevice.Get(), hwnd, &desc, nullptr, nullptr, &g_swapChain);
  if (FAILED(hr)) {
    SPDLOG_ERROR("Failed to create swap chain: {:#x}", static_cast<uint32_t>(hr));
    return false;
  }
  factory->MakeWindowAssociation(hwnd, DXGI_MWA_NO_ALT_ENTER);
  CreateRenderTarget();
  return true;
}

void CreateRenderTarget() {
  Microsoft::WRL::ComPtr<ID3D11Texture2D> backBuffer;
  if (!g_swapChain || FAILED(g_swapChain->GetBuffer(0, IID_PPV_ARGS(&backBuffer)))) {
    g_renderTargetView.Reset();
    return;
  }
  g_renderTargetView.Reset();
  g_d3dDevice->CreateRenderTargetView(backBuffer.Get(), nullptr, &g_renderTargetView);
}

void CleanupDeviceD3D() {
  g_renderTargetView.Reset();
  g_swapChain.Reset();
  g_d3dContext.Reset();
  g_d3dDevice.Reset();
}

LRESULT WINAPI WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (g_ui && g_ui->handleMessage(hwnd, msg, wParam, lParam)) {
    return 1;
  }
  switch (msg) {
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) {
        g_resizeWidth = LOWORD(lParam);
        g_resizeHeight = HIWORD(lParam);
      }
      return 0;
    case WM_SYSCOMMAND:
      if ((wParam & 0xfff0) == SC_KEYMENU) {
        return 0;  // Alt alone does not open the window menu
      }
      break;
    case WM_CLOSE:
      g_running = false;
      return 0;
    case WM_DESTROY:
      g_running = false;
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wParam, lParam);
}

void ResizeSwapChainIfRequested() {
  if (g_resizeWidth == 0 || g_resizeHeight == 0) {
    return;
  }
  g_renderTargetView.Reset();
  g_swapChain->ResizeBuffers(0, g_resizeWidth, g_resizeHeight, DXGI_FORMAT_UNKNOWN, 0);
  g_resizeWidth = 0;
  g_resizeHeight = 0;
  CreateRenderTarget();
}

void ClearRenderTarget() {
  if (!g_renderTargetView) {
    // Lost with a failed resize: try again, and draw into nothing until it comes back.
    CreateRenderTarget();
    if (!g_renderTargetView) {
      return;
    }
  }
  ID3D11RenderTargetView* views[] = {g_renderTargetView.Get()};
  g_d3dContext->OMSetRenderTargets(1, views, nullptr);
  const float clear[4] = {0.06f, 0.06f, 0.10f, 1.0f};
  g_d3dContext->ClearRenderTargetView(g_renderTargetView.Get(), clear);
}

void RunMainLoop(HWND window, PresentPacer& pacer) {
  while (g_running) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      if (msg.message == WM_QUIT) {
        g_running = false;
      }
    }
    if (!g_running) {
      break;
    }
    ResizeSwapChainIfRequested();
    g_app->update();
    RefreshUI();
    ClearRenderTarget();
    g_ui->render();
    g_swapChain->Present(1, 0);
    // Present waits for the vertical blank only while the window is visible, and not at all
    // under Wine; the pacer keeps the loop from spinning meanwhile.
    pacer.afterPresent(window);
  }
}

void AttachLogView(quorvane::host::UISink<std::mutex>& sink) {
  sink.setCallback([](int level, const std::string& text) {
    if (g_ui) {
      g_ui->addLog(level >= 0 && level <= 5 ? level : 2, text);
    }
  });
}

void DetachLogView(quorvane::host::UISink<std::mutex>& sink) { sink.setCallback(nullptr); }

void ConnectUIToApplication() {
  using namespace quorvane::host;
  const Settings& settings = g_app->settings;
  UISettings ui;  // the control window's own fields keep their defaults (preset High, H.264, ...)
  ui.signalingPort = settings.signalingPort;
  ui.videoPort = settings.videoPort;
  ui.audioPort = settings.audioPort;
  ui.inputPort = settings.inputPort;
  ui.targetFps = static_cast<int32_t>(settings.targetFps);
  ui.targetBitrate = static_cast<int32_t>(settings.targetBitrate);
  ui.maxBitrate = static_cast<int32_t>(settings.maxBitrate);
  ui.sharpeningEnabled = settings.sharpeningEnabled;
  ui.sharpness = settings.sharpness;
  ui.fullRangeColor = settings.fullRangeColor;
  ui.vsyncEnabled = settings.vsyncEnabled;
  g_ui->settings = ui;
  SPDLOG_INFO("UI initialized with settings: bitrate={} kbps, fps={}, ports={}/{}/{}/{}", ui.targetBitrate,
              ui.targetFps, ui.signalingPort, ui.videoPort, ui.audioPort, ui.inputPort);

  g_ui->onSettingsChanged = [](const UISettings& s) {
    SPDLOG_INFO(
        "Settings changed - FPS: {}, Bitrate: {} kbps, Sharpening: {} ({:.1f}), VSync: {}, FullRange: {}",
        s.targetFps, s.targetBitrate, s.sharpeningEnabled ? "ON" : "OFF", s.sharpness,
        s.vsyncEnabled ? "ON" : "OFF", s.fullRangeColor ? "ON" : "OFF");
    g_app->applySettings(static_cast<uint32_t>(s.targetBitrate), static_cast<uint32_t>(s.maxBitrate),
                         static_cast<uint32_t>(s.targetFps));
    g_app->applySharpeningSettings(s.sharpeningEnabled, s.sharpness);
    g_app->applyVSyncSettings(s.vsyncEnabled);
    g_app->applyFullRangeColorSettings(s.fullRangeColor);
  };
  g_ui->onStartCapture = [](uint32_t windowId, uint8_t streamId) {
    SPDLOG_INFO("Start capture requested for window {} on stream {}", windowId, streamId);
    return g_app->startCapture(windowId, streamId);
  };
  g_ui->onStopCapture = [](uint8_t streamId) {
    SPDLOG_INFO("Stop capture requested for stream {}", streamId);
    g_app->stopCapture(streamId);
  };

  SystemInfo info;
  info.gpuName = g_app->gpuName;
  info.vramMB = static_cast<uint32_t>(g_app->vramMB);
  info.encoderName = g_app->getEncoderName();
  info.wgcSupported = true;
  g_ui->systemInfo = info;
}

int32_t windowListFrameCounter = 0;

void RefreshUI() {
  quorvane::host::ConnectionStatus status;
  status.connected = g_app->isClientConnected();
  if (status.connected) {
    status.clientName = "Meta Quest";
    status.fps = 72;
    status.latencyMs = 18.0f;
    status.bitrateMbps = 50.0f;
  }
  g_ui->connectionStatus = status;
  if (++windowListFrameCounter >= 60) {
    windowListFrameCounter = 0;
    g_ui->updateWindowList(g_app->getWindowList());
  }
}
