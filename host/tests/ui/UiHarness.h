#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>

#include <imgui.h>
#include <imgui_internal.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#include "support/D3DTest.h"
#include "ui/UIManager.h"

namespace quorvane::test {

using Microsoft::WRL::ComPtr;

// A control window on a real window and swap chain, driven as the entry function drives it
// and fed the window's own mouse and keyboard messages. Each frame leaves the back buffer's
// pixels, the drawn texts (from the draw lists) and the widgets' rectangles (from the item
// hooks of the tests' copy of the UI library). One at a time, on the main thread.
class UiHarness {
 public:
  static constexpr int kWidth = 1280, kHeight = 1100;

  struct Item {
    ImGuiID id;
    ImRect rect;
    std::string label;
  };
  struct TextRun {
    std::string text;
    ImVec2 pos;
    float right = 0;  // the pen's position after the last character
  };

  std::vector<Item> items;  // widgets of the last frame, or of the one being drawn
  // Called on the main thread as each labelled widget is laid out, in the middle of a frame.
  std::function<void(const std::string& label)> onItem;
  static inline UiHarness* current = nullptr;

 private:
  std::unique_ptr<host::UIManager> ownUi_;

 public:
  // The control window, kept in `owner` (the entry's g_ui, for tests of the entry's wiring) or
  // by the harness itself.
  std::unique_ptr<host::UIManager>& ui;

  UiHarness() : UiHarness(ownUi_) {}
  explicit UiHarness(std::unique_ptr<host::UIManager>& owner) : ui(owner) {
    current = this;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = windowProc;
    windowClass.lpszClassName = L"QuorvaneUiTest";
    RegisterClassW(&windowClass);
    window_ = CreateWindowExW(WS_EX_TOPMOST, L"QuorvaneUiTest", L"", WS_POPUP | WS_VISIBLE, 0, 0, kWidth,
                              kHeight, nullptr, nullptr, nullptr, nullptr);
    DXGI_SWAP_CHAIN_DESC desc{};  // the entry function's format, usage, count and swap effect
    desc.BufferDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.OutputWindow = window_;
    desc.Windowed = TRUE;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    EXPECT_TRUE(SUCCEEDED(D3D11CreateDeviceAndSwapChain(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0,
                                                        nullptr, 0, D3D11_SDK_VERSION, &desc, &swapChain_,
                                                        &device_, nullptr, &context_)) &&
                SUCCEEDED(swapChain_->GetBuffer(0, IID_PPV_ARGS(&backBuffer_))) &&
                SUCCEEDED(device_->CreateRenderTargetView(backBuffer_.Get(), nullptr, &target_)));
    ui = std::make_unique<host::UIManager>(window_, device_.Get(), context_.Get());
    EXPECT_TRUE(ui->initialize());
    ImGui::GetCurrentContext()->TestEngineHookItems = true;
    frames(2);
  }
  ~UiHarness() {
    ui.reset();
    DestroyWindow(window_);
    current = nullptr;
  }

  // Handles the queued messages and draws `count` frames.
  void frames(int count = 1) {
    for (int i = 0; i < count; ++i) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      context_->OMSetRenderTargets(1, target_.GetAddressOf(), nullptr);  // its window covers the target
      items.clear();
      ui->render();
      if (i == count - 1) capture();
      swapChain_->Present(0, 0);
    }
  }

  // The nth widget with that label, or a list (lists report none) whose id it gives; or empty.
  ImRect item(const std::string& label, int nth = 0) const {
    for (const auto& item : items) {
      if (item.label == label && nth-- == 0) return item.rect;
    }
    for (ImGuiWindow* window : ImGui::GetCurrentContext()->Windows) {
      for (const auto& item : items) {
        if (item.id == ImHashStr(label.c_str(), 0, window->ID)) return item.rect;
      }
    }
    return ImRect();
  }

  // Then moves the pointer off every widget, so that none shows hovered.
  void click(ImVec2 point, bool right = false) {
    EXPECT_GT(point.x, 0.0f) << "nothing to click";
    moveTo(point);
    post(right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN);
    post(right ? WM_RBUTTONUP : WM_LBUTTONUP);
    moveTo(ImVec2(kWidth - 5, 5));
  }
  void click(const std::string& label, int nth = 0) { click(item(label, nth).GetCenter()); }
  void choose(const std::string& list, const std::string& entry) {
    click(list);
    frames(2);  // the list opens in the next frame and takes its size in the one after
    click(entry);
  }
  // A tab or a carriage return is a press of that key (whose key code is the character's).
  void type(const std::string& text) {
    for (char c : text) {
      const bool key = c == '\t' || c == '\r';
      post(key ? WM_KEYDOWN : WM_CHAR, static_cast<WPARAM>(c));
      if (key) post(WM_KEYUP, static_cast<WPARAM>(c));
    }
  }

  // The first line drawn in the last frame from within `area` with `needle` in it, or an empty one.
  TextRun text(const std::string& needle, const ImRect& area = ImRect(0, 0, kWidth, kHeight)) const {
    for (const auto& run : texts_) {
      if (area.Contains(run.pos) && run.text.find(needle) != std::string::npos) return run;
    }
    return {};
  }
  // Whether the last frame's pixel at `point` is `color` within 3 in each of red, green, blue.
  bool showsColor(ImVec2 point, ImU32 color) const {
    const uint32_t pixel = pixels_[static_cast<size_t>(point.y) * kWidth + static_cast<size_t>(point.x)];
    for (int shift : {0, 8, 16}) {
      if (std::abs(int((pixel >> shift) & 0xFF) - int((color >> shift) & 0xFF)) > 3) return false;
    }
    return true;
  }

  void screenshot(const std::string& name) const {
    stbi_write_png(("ui-" + name + ".png").c_str(), kWidth, kHeight, 4, pixels_.data(), kWidth * 4);
  }

  // The system clipboard, read through the UI library's own clipboard operation.
  static std::string clipboard() {
    const char* text = ImGui::GetClipboardText();
    return text ? text : "<no text>";
  }

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const bool consumed = current->ui && current->ui->handleMessage(window, message, wParam, lParam);
    return consumed ? 1 : DefWindowProcW(window, message, wParam, lParam);
  }
  void moveTo(ImVec2 point) {
    POINT screen{static_cast<LONG>(point.x), static_cast<LONG>(point.y)};
    ClientToScreen(window_, &screen);
    SetCursorPos(screen.x, screen.y);
    post(WM_MOUSEMOVE);
  }
  void post(UINT message, WPARAM wParam = 0) {
    PostMessageW(window_, message, wParam, 0);
    frames();
  }

  void capture() {
    // Text: glyph quads, recognised by their corners in the font atlas.
    std::map<std::pair<float, float>, const ImFontGlyph*> glyphs;
    for (ImFont* font : ImGui::GetIO().Fonts->Fonts) {
      for (const ImFontGlyph& glyph : font->Glyphs) {
        if (glyph.Visible) glyphs[{glyph.U0, glyph.V0}] = &glyph;
      }
    }
    texts_.clear();
    for (int list = 0; list < ImGui::GetDrawData()->CmdListsCount; ++list) {
      const ImVector<ImDrawVert>& vertices = ImGui::GetDrawData()->CmdLists[list]->VtxBuffer;
      TextRun* run = nullptr;
      for (int v = 0; v + 2 < vertices.Size; ++v) {
        const auto found = glyphs.find({vertices[v].uv.x, vertices[v].uv.y});
        if (found == glyphs.end() || vertices[v + 2].uv.x != found->second->U1) continue;
        const ImVec2 pen(vertices[v].pos.x - found->second->X0, vertices[v].pos.y - found->second->Y0);
        if (!run || std::fabs(pen.y - run->pos.y) > 0.5f || pen.x < run->right - 0.5f) {
          run = &texts_.emplace_back(TextRun{{}, pen, pen.x});
        } else if (pen.x > run->right + 0.5f) {  // spaces draw nothing
          run->text += ' ';
        }
        run->text += static_cast<char>(found->second->Codepoint);
        run->right = pen.x + found->second->AdvanceX;
        v += 3;
      }
    }
    pixels_ = readTexture(backBuffer_.Get());  // R, G, B, A bytes: the same layout as ImU32
    ASSERT_EQ(pixels_.size(), static_cast<size_t>(kWidth) * kHeight);
  }

  HWND window_ = nullptr;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<IDXGISwapChain> swapChain_;
  ComPtr<ID3D11Texture2D> backBuffer_;  // with the flip model, always the one to draw into
  ComPtr<ID3D11RenderTargetView> target_;
  std::vector<uint32_t> pixels_;  // of the last frame
  std::vector<TextRun> texts_;
};

}  // namespace quorvane::test

// The UI library's item hooks: every widget's rectangle, then its label.
void ImGuiTestEngineHook_ItemAdd(ImGuiContext*, const ImRect& bb, ImGuiID id) {
  quorvane::test::UiHarness::current->items.push_back({id, bb, {}});
}
void ImGuiTestEngineHook_ItemInfo(ImGuiContext*, ImGuiID id, const char* label, ImGuiItemStatusFlags) {
  auto* harness = quorvane::test::UiHarness::current;
  if (!harness->items.empty() && harness->items.back().id == id) harness->items.back().label = label;
  if (harness->onItem) harness->onItem(label);
}
void ImGuiTestEngineHook_Log(ImGuiContext*, const char*, ...) {}
const char* ImGuiTestEngine_FindItemDebugLabel(ImGuiContext*, ImGuiID) { return nullptr; }
