// The process: logging, COM, the control window with its own Direct3D 11 device, the
// application and the UI, the main loop, and the shutdown in reverse order.
#include <windows.h>

#include <exception>
#include <memory>
#include <mutex>

#include <spdlog/spdlog.h>

#include "app/Application.h"
#include "logging/Logging.h"
#include "logging/UISink.h"
#include "main/Entry.h"
#include "main/EntryResources.h"
#include "main/PresentPacer.h"
#include "ui/UIManager.h"

using quorvane::host::Application;
using quorvane::host::UIManager;
using quorvane::host::UISink;
namespace Logging = quorvane::host::Logging;

namespace {

// Start-up failed: what was created goes, then logging, and the exit code is 1.
int fail(EntryResources& created) {
  created.takeDown(false);
  Logging::shutdown();
  return 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int showCommand) {
  EntryResources created;
  created.instance = instance;
  try {
    Logging::initialize("QuorvaneHost", true, spdlog::level::debug);
    // The control window's sink joins the logger now, before any other thread logs; it
    // forwards nothing until the UI exists.
    created.uiSink = std::make_shared<UISink<std::mutex>>();
    Logging::addSink(created.uiSink);
    SPDLOG_INFO("Quorvane Host starting...");
    SPDLOG_INFO("Version: 0.1.0");

    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(com)) {
      SPDLOG_ERROR("Failed to initialize COM: {:#x}", static_cast<uint32_t>(com));
      return fail(created);
    }
    created.com = true;

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hIconSm = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);  // NOLINT(performance-no-int-to-ptr)
    wc.lpszClassName = kWindowClass;
    if (RegisterClassExW(&wc) == 0) {
      SPDLOG_ERROR("Failed to register window class");
      return fail(created);
    }
    created.windowClass = true;

    created.window = CreateWindowExW(0, kWindowClass, L"Quorvane Host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                     CW_USEDEFAULT, 1400, 900, nullptr, nullptr, instance, nullptr);
    if (created.window == nullptr) {
      SPDLOG_ERROR("Failed to create window");
      return fail(created);
    }

    if (!CreateDeviceD3D(created.window)) {
      SPDLOG_ERROR("Failed to create D3D11 device");
      return fail(created);
    }
    ShowWindow(created.window, showCommand);
    UpdateWindow(created.window);

    g_app = std::make_unique<Application>();
    if (!g_app->initialize()) {
      SPDLOG_ERROR("Failed to initialize application");
      return fail(created);
    }

    g_ui = std::make_unique<UIManager>(created.window, g_d3dDevice.Get(), g_d3dContext.Get());
    if (!g_ui->initialize()) {
      SPDLOG_ERROR("Failed to initialize UI");
      return fail(created);
    }

    AttachLogView(*created.uiSink);
    SPDLOG_INFO("UI log sink attached");
    SPDLOG_INFO(
        "Streaming optimizations active: GPU MaxFrameLatency=1, D3D11 Multithread, Priority Boost, Encoder "
        "AQ");
    ConnectUIToApplication();

    SPDLOG_INFO("Application initialized, entering main loop...");
    PresentPacer pacer;
    RunMainLoop(created.window, pacer);

    created.takeDown(true);
    SPDLOG_INFO("Quorvane Host exiting");
    Logging::shutdown();
    return 0;
  } catch (const std::exception& e) {
    SPDLOG_CRITICAL("Unhandled exception: {}", e.what());
    MessageBoxA(nullptr, e.what(), "Quorvane Host - Fatal Error", MB_ICONERROR | MB_OK);
    created.takeDown(false);
    Logging::shutdown();
    return 1;
  }
}
