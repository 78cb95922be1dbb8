#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <imgui.h>
#include <imgui_internal.h>

#include "support/D3DTest.h"
#include "ui/UIManager.h"

namespace quorvane::test {

using Microsoft::WRL::ComPtr;

// A control window on a real window, driven as the entry function drives it: messages
// through the window procedure, then render. Input is the window's own mouse and keyboard
// messages (the pointer is moved too: the UI library reads its position from the system).
// Each frame leaves the widgets' rectangles (from the item hooks of the tests' copy of the
// UI library), so that a test finds widgets by label. One at a time, on the main thread.
class UiHarness {
 public:
  static constexpr int kWidth = 1280, kHeight = 1100;

  struct Item {
    ImGuiID id;
    ImRect rect;
    std::string label;
  };
  std::vector<Item> drawing;  // widgets of the frame being drawn
  // Called on the main thread as each labelled widget is laid out, in the middle of a frame.
  std::function<void(const std::string& label)> onItem;

  static inline UiHarness* current = nullptr;

  UiHarness() {
    current = this;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = [](HWND window, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
      const auto& ui = current->ui_;
      return ui && ui->handleMessage(window, message, wParam, lParam)
                 ? 1
                 : DefWindowProcW(window, message, wParam, lParam);
    };
    windowClass.lpszClassName = L"QuorvaneUiTest";
    RegisterClassW(&windowClass);
    window_ = CreateWindowExW(WS_EX_TOPMOST, L"QuorvaneUiTest", L"", WS_POPUP | WS_VISIBLE, 0, 0, kWidth,
                              kHeight, nullptr, nullptr, nullptr, nullptr);
    device_ = createTestDevice(&context_);  // no render target bound: nothing here reads the pixels
    EXPECT_TRUE(device_);
    ui_ = std::make_unique<host::UIManager>(window_, device_.Get(), context_.Get());
    EXPECT_TRUE(ui_->initialize());
    ImGui::GetCurrentContext()->TestEngineHookItems = true;
    frames(2);
  }
  ~UiHarness() {
    ui_.reset();
    DestroyWindow(window_);
    current = nullptr;
  }
  UiHarness(const UiHarness&) = delete;
  UiHarness& operator=(const UiHarness&) = delete;

  host::UIManager& ui() { return *ui_; }

  // Handles the queued messages and draws `count` frames.
  void frames(int count = 1) {
    for (int i = 0; i < count; ++i) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      drawing.clear();
      ui_->render();
      items_.swap(drawing);
    }
  }

  // The nth widget of the last frame with that label, or a list (lists report no label)
  // whose id that label gives in any window; empty when there is none.
  ImRect item(const std::string& label, int nth = 0) const {
    for (const auto& item : items_) {
      if (item.label == label && nth-- == 0) return item.rect;
    }
    for (ImGuiWindow* window : ImGui::GetCurrentContext()->Windows) {
      for (const auto& item : items_) {
        if (item.id == ImHashStr(label.c_str(), 0, window->ID)) return item.rect;
      }
    }
    return ImRect();
  }

  void click(ImVec2 point, bool right = false) {
    EXPECT_GT(point.x, 0.0f) << "nothing to click";
    POINT screen{static_cast<LONG>(point.x), static_cast<LONG>(point.y)};
    ClientToScreen(window_, &screen);
    SetCursorPos(screen.x, screen.y);
    post(WM_MOUSEMOVE);
    post(right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN);
    post(right ? WM_RBUTTONUP : WM_LBUTTONUP);
  }
  void click(const std::string& label, int nth = 0) { click(item(label, nth).GetCenter()); }
  // Opens the list and clicks the entry.
  void choose(const std::string& list, const std::string& entry) {
    click(list);
    frames(2);  // the list opens in the next frame and takes its size in the one after
    click(entry);
  }
  void key(WPARAM virtualKey) {
    post(WM_KEYDOWN, virtualKey);
    post(WM_KEYUP, virtualKey);
  }
  void type(const std::string& text) {
    for (char c : text) post(WM_CHAR, static_cast<WPARAM>(c));
  }

  // The system clipboard, read through the UI library's own clipboard operation.
  static std::string clipboard() {
    const char* text = ImGui::GetClipboardText();
    return text ? text : "<no text>";
  }

 private:
  void post(UINT message, WPARAM wParam = 0) {
    PostMessageW(window_, message, wParam, 0);
    frames();
  }

  HWND window_ = nullptr;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  std::unique_ptr<host::UIManager> ui_;
  std::vector<Item> items_;  // widgets of the last frame
};

}  // namespace quorvane::test

// The UI library's item hooks: every widget's rectangle, then its label.
void ImGuiTestEngineHook_ItemAdd(ImGuiContext*, const ImRect& bb, ImGuiID id) {
  quorvane::test::UiHarness::current->drawing.push_back({id, bb, {}});
}
void ImGuiTestEngineHook_ItemInfo(ImGuiContext*, ImGuiID id, const char* label, ImGuiItemStatusFlags) {
  auto* harness = quorvane::test::UiHarness::current;
  if (!harness->drawing.empty() && harness->drawing.back().id == id) harness->drawing.back().label = label;
  if (harness->onItem) harness->onItem(label);
}
void ImGuiTestEngineHook_Log(ImGuiContext*, const char*, ...) {}
const char* ImGuiTestEngine_FindItemDebugLabel(ImGuiContext*, ImGuiID) { return nullptr; }
