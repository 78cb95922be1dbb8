// The entry's control-window pieces on a real window and Direct3D 11 swap chain under Wine.
#include <windows.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "logging/UISink.h"
#include "main/Entry.h"
#include "ui/UIManager.h"

using quorvane::host::UIManager;
using quorvane::host::UISink;

namespace {

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"EntryTestWindow";
    RegisterClassW(&wc);
    window = CreateWindowExW(0, wc.lpszClassName, L"entry test", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 640, 480,
                             nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(CreateDeviceD3D(window));
  }
  void TearDown() override {
    g_ui.reset();
    CleanupDeviceD3D();
    DestroyWindow(window);
  }
  HWND window = nullptr;
};

TEST_F(EntryTest, LogRecordsNeverReachAUIThatIsGoing) {
  auto sink = std::make_shared<UISink<std::mutex>>();
  auto logger = std::make_shared<spdlog::logger>("entry-test", sink);
  std::atomic<bool> done{false};
  std::vector<std::thread> loggers;
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

TEST_F(EntryTest, AMissingRenderTargetIsNeitherBoundNorCleared) {
  g_resizeWidth = 800;
  g_resizeHeight = 600;
  ResizeSwapChainIfRequested();
  ASSERT_TRUE(g_renderTargetView);
  EXPECT_EQ(g_resizeWidth, 0u);

  // A render target that cannot be made again (here: no swap chain to take it from).
  g_swapChain.Reset();
  g_renderTargetView.Reset();
  ClearRenderTarget();
  ID3D11RenderTargetView* bound = nullptr;
  g_d3dContext->OMGetRenderTargets(1, &bound, nullptr);
  EXPECT_EQ(bound, nullptr);
  if (bound) bound->Release();
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

}  // namespace
