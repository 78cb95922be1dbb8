#pragma once

// The process entry's control window: its Direct3D 11 device and swap chain, the window
// procedure, and the steps of the main loop. Everything here runs on the main thread.

#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <wrl/client.h>

#include <cstdint>
#include <memory>
#include <mutex>

class PresentPacer;

namespace quorvane::host {
class Application;
class UIManager;
}  // namespace quorvane::host

extern std::unique_ptr<quorvane::host::Application> g_app;
extern std::unique_ptr<quorvane::host::UIManager> g_ui;
extern Microsoft::WRL::ComPtr<ID3D11Device> g_d3dDevice;
extern Microsoft::WRL::ComPtr<ID3D11DeviceContext> g_d3dContext;
extern Microsoft::WRL::ComPtr<IDXGISwapChain1> g_swapChain;
extern Microsoft::WRL::ComPtr<ID3D11RenderTargetView> g_renderTargetView;
extern bool g_running;
extern uint32_t g_resizeWidth;
extern uint32_t g_resizeHeight;

bool CreateDeviceD3D(HWND hwnd);
void CreateRenderTarget();
void CleanupDeviceD3D();
LRESULT WINAPI WndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// Applies a pending size from WM_SIZE to the swap chain and its render target.
void ResizeSwapChainIfRequested();
// Binds the render target and clears it to the window's background; does nothing while
// there is no render target (one that could not be re-created after a resize).
void ClearRenderTarget();
// Runs the main loop on the window until g_running is cleared: messages, a pending resize,
// the application's frame, the hand-over to the UI, clearing, drawing and presenting, then
// the pacer's wait for the rest of the refresh interval where presenting did not take it.
void RunMainLoop(HWND window, PresentPacer& pacer);

// What the entry hands the control window (all on the main thread unless said).
namespace quorvane::host {
template <typename Mutex>
class UISink;
}

// Sets the sink's callback to forward every record to the log view while g_ui exists.
void AttachLogView(quorvane::host::UISink<std::mutex>& sink);
// Clears that callback under the sink's lock: after it returns no logging thread reads
// g_ui, so the UI may go.
void DetachLogView(quorvane::host::UISink<std::mutex>& sink);
// Gives g_ui the settings record, its three callbacks and the system information.
void ConnectUIToApplication();
// One iteration's hand-over: the connection state, and every 60th call the window list.
void RefreshUI();
// Main-loop iterations since the control window's window list was last refreshed.
extern int32_t windowListFrameCounter;
