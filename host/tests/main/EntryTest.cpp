// The entry's control-window pieces on a real window and Direct3D 11 swap chain under Wine.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <imgui.h>
#include <imgui_internal.h>
#include <spdlog/spdlog.h>

#include "app/Application.h"
#include "logging/UISink.h"
#include "main/Entry.h"
#include "main/EntryResources.h"
#include "main/PresentPacer.h"
#include "ui/UIManager.h"

using quorvane::host::Application;
using quorvane::host::UIManager;
using quorvane::host::UISink;

namespace quorvane::host {
// The UI's log lock and window rows, as a busy log view and the window list see them.
class UIManagerTestAccess {
 public:
  static std::mutex& logMutex(UIManager& ui) { return ui.logMutex; }
  static size_t windowRows(UIManager& ui) { return ui.windows.size(); }
};
}  // namespace quorvane::host

using quorvane::host::UIManagerTestAccess;

namespace {

// The UI sink, telling whether a logging thread is inside it (holds its lock).
class ProbedSink : public UISink<std::mutex> {
 public:
  bool busy() {
    if (!mutex_.try_lock()) return true;
    mutex_.unlock();
    return false;
  }
};

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"EntryTestWindow";
    RegisterClassW(&wc);
    window = CreateWindowExW(0, wc.lpszClassName, L"entry test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 640,
                             480, nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(CreateDeviceD3D(window));
  }
  void TearDown() override {
    g_ui.reset();
    g_app.reset();
    CleanupDeviceD3D();
    DestroyWindow(window);
    MSG message;  // the WM_QUIT that destroying the window posts
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    }
  }
  void makeUI() {
    g_ui = std::make_unique<UIManager>(window, g_d3dDevice.Get(), g_d3dContext.Get());
    ASSERT_TRUE(g_ui->initialize());
  }
  // Runs the main loop until a close request that another thread posts after `ms`, and
  // returns its iterations per second, counted by the UI's frames.
  double loopIterationsPerSecond(PresentPacer& pacer, DWORD ms) {
    g_running = true;
    const int framesBefore = ImGui::GetFrameCount();
    std::thread closer([&] {
      Sleep(ms);
      PostMessageW(window, WM_CLOSE, 0, 0);
    });
    const auto start = std::chrono::steady_clock::now();
    RunMainLoop(window, pacer);
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    closer.join();
    return (ImGui::GetFrameCount() - framesBefore) / seconds.count();
  }
  HWND window = nullptr;
};

TEST_F(EntryTest, LogRecordsNeverReachAUIThatIsGoing) {
  auto sink = std::make_shared<UISink<std::mutex>>();
  auto logger = std::make_shared<spdlog::logger>("entry-test", sink);
  std::atomic<bool> done{false};
  std::vector<std::thread> loggers;
  loggers.reserve(3);
  for (int i = 0; i < 3; ++i) {
    loggers.emplace_back([&] {
      while (!done) logger->info("a line from another thread");
    });
  }
  for (int round = 0; round < 20; ++round) {
    g_ui = std::make_unique<UIManager>(window, g_d3dDevice.Get(), g_d3dContext.Get());
    ASSERT_TRUE(g_ui->initialize());
    AttachLogView(*sink);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    DetachLogView(*sink);  // as the shutdown does, before the UI goes
    g_ui->shutdown();
    g_ui.reset();
  }
  done = true;
  for (auto& thread : loggers) thread.join();
}

// A logging thread is inside the sink, held up at the log view's lock, when the take-down
// starts: the UI must not go before that thread has left.
TEST_F(EntryTest, TheTakeDownWaitsForALoggerInsideTheLogView) {
  auto sink = std::make_shared<ProbedSink>();
  spdlog::logger logger("entry-test", sink);
  makeUI();
  AttachLogView(*sink);
  EntryResources created;
  created.uiSink = sink;

  struct Watch {
    ProbedSink* sink;
    std::atomic<bool> uiGoing{false}, loggerInside{false}, loggerLeft{false};
  } watch{sink.get()};
  ImGuiContextHook hook{};
  hook.Type = ImGuiContextHookType_Shutdown;
  hook.UserData = &watch;
  hook.Callback = [](ImGuiContext*, ImGuiContextHook* h) {
    auto* w = static_cast<Watch*>(h->UserData);
    w->loggerInside = w->sink->busy();
    w->uiGoing = true;
    while (!w->loggerLeft) std::this_thread::yield();  // keep the UI alive for the logger
  };
  ImGui::AddContextHook(ImGui::GetCurrentContext(), &hook);

  std::unique_lock<std::mutex> logView(UIManagerTestAccess::logMutex(*g_ui));
  std::thread loggerThread([&] {
    logger.info("a line as the UI goes");
    watch.loggerLeft = true;
  });
  while (!sink->busy()) std::this_thread::yield();
  std::thread takeDown([&] { created.takeDown(false); });
  // The take-down gets every chance to run ahead of the logger; it must wait for it.
  for (int i = 0; i < 200 && !watch.uiGoing; ++i) Sleep(10);
  logView.unlock();
  loggerThread.join();
  takeDown.join();

  EXPECT_TRUE(watch.uiGoing);
  EXPECT_FALSE(watch.loggerInside) << "the UI went while a logging thread was inside its sink";
  EXPECT_FALSE(g_ui);
  EXPECT_FALSE(g_d3dDevice);
}

TEST_F(EntryTest, AMissingRenderTargetIsNeitherBoundNorCleared) {
  g_resizeWidth = 800;
  g_resizeHeight = 600;
  ResizeSwapChainIfRequested();
  ASSERT_TRUE(g_renderTargetView);
  EXPECT_EQ(g_resizeWidth, 0u);

  // Whatever was bound last (here a target of the test's own) stays bound.
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = desc.Height = 4;
  desc.MipLevels = desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.BindFlags = D3D11_BIND_RENDER_TARGET;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
  Microsoft::WRL::ComPtr<ID3D11RenderTargetView> earlier;
  ASSERT_TRUE(SUCCEEDED(g_d3dDevice->CreateTexture2D(&desc, nullptr, &texture)));
  ASSERT_TRUE(SUCCEEDED(g_d3dDevice->CreateRenderTargetView(texture.Get(), nullptr, &earlier)));
  g_d3dContext->OMSetRenderTargets(1, earlier.GetAddressOf(), nullptr);

  // A render target that cannot be made again (here: no swap chain to take it from).
  g_swapChain.Reset();
  g_renderTargetView.Reset();
  ClearRenderTarget();
  Microsoft::WRL::ComPtr<ID3D11RenderTargetView> bound;
  g_d3dContext->OMGetRenderTargets(1, &bound, nullptr);
  EXPECT_EQ(bound.Get(), earlier.Get());
  EXPECT_FALSE(g_renderTargetView);
}

TEST_F(EntryTest, WindowMessagesSetTheLoopsState) {
  g_running = true;
  g_resizeWidth = g_resizeHeight = 0;  // left by the window's creation
  SendMessageW(window, WM_SIZE, SIZE_MINIMIZED, MAKELPARAM(0, 0));
  EXPECT_EQ(g_resizeWidth, 0u) << "a minimised window keeps its swap chain";
  SendMessageW(window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(1024, 0));
  ResizeSwapChainIfRequested();
  EXPECT_EQ(g_resizeWidth, 1024u) << "one zero dimension stays pending";
  EXPECT_EQ(SendMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, 0), 0);
  SendMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_FALSE(g_running);
  EXPECT_TRUE(IsWindow(window)) << "closing ends the loop; the shutdown destroys the window";
  g_resizeWidth = g_resizeHeight = 0;
}

// Where Present does not wait for the vertical blank (under Wine, and for a minimised
// window everywhere) the loop runs no faster than its pacer's refresh rate: here a slow
// monitor's while shown, the window's own monitor's while minimised.
TEST_F(EntryTest, TheMainLoopKeepsToTheRefreshRate) {
  g_app = std::make_unique<Application>();
  makeUI();
  // A small window draws quickly: a loop without pacing runs far ahead of either rate.
  SetWindowPos(window, nullptr, 0, 0, 64, 48, SWP_NOZORDER | SWP_NOACTIVATE);
  PresentPacer slowMonitor([](HWND) { return 15.0; });
  loopIterationsPerSecond(slowMonitor, 500);  // the UI's first frames build its fonts and shaders
  const double shown = loopIterationsPerSecond(slowMonitor, 3000);
  EXPECT_GT(shown, 0.0);
  EXPECT_LE(shown, 2 * 15.0) << "shown";

  const double refreshRate = MonitorRefreshRate(window);
  EXPECT_GE(refreshRate, 24.0);
  PresentPacer ownMonitor;
  ShowWindow(window, SW_MINIMIZE);
  ASSERT_TRUE(IsIconic(window));
  EXPECT_LE(loopIterationsPerSecond(ownMonitor, 3000), 2 * refreshRate) << "minimised";
}

TEST_F(EntryTest, TheWindowListIsHandedOverOnEverySixtiethIteration) {
  g_app = std::make_unique<Application>();  // lists no windows: a hand-over empties the UI's list
  g_ui = std::make_unique<UIManager>(window, g_d3dDevice.Get(), g_d3dContext.Get());
  std::vector<quorvane::protocol::WindowInfo> list(1);
  list[0].id = 0x1234;
  list[0].title = "a window";
  g_ui->updateWindowList(list);
  windowListFrameCounter = 0;
  std::vector<int> handedOverAt;
  for (int iteration = 1; iteration <= 240; ++iteration) {
    RefreshUI();
    if (UIManagerTestAccess::windowRows(*g_ui) == 0) {
      handedOverAt.push_back(iteration);
      g_ui->updateWindowList(list);
    }
  }
  EXPECT_EQ(handedOverAt, (std::vector<int>{60, 120, 180, 240}));
  EXPECT_FALSE(g_ui->connectionStatus.connected);
}

}  // namespace
