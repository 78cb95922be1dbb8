#pragma once

#include <dxgi1_2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <imgui.h>
#include <imgui_internal.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

#include "support/D3DTest.h"
#include "ui/UIManager.h"

namespace quorvane::test {

using Microsoft::WRL::ComPtr;

// A control window on a real window and swap chain, driven as the entry function drives
// it: messages through the window procedure, then render and present. Input is the
// window's own mouse and keyboard messages (the pointer is moved too: the UI library reads
// its position from the system). Each frame leaves the back buffer's pixels, the texts
// with their colours (from the draw lists) and the widgets' rectangles (from the item
// hooks of the tests' copy of the UI library), so that a test finds widgets by label.
// One at a time, on the main thread.
class UiHarness {
 public:
  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 1100;

  struct Item {
    ImGuiID id;
    ImRect rect;
    std::string label;
  };
  struct TextRun {
    std::string text;
    ImVec2 pos;
    float right = 0;            // the pen's position after the last character
    std::vector<ImU32> colors;  // one per character
  };

  std::vector<Item> drawing;  // widgets of the frame being drawn
  // Called on the main thread as each labelled widget is laid out, in the middle of a frame.
  std::function<void(const std::string& label)> onItem;

  UiHarness() {
    current() = this;
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = [](HWND window, UINT message, WPARAM wParam, LPARAM lParam) -> LRESULT {
      const auto& ui = current()->ui_;
      return ui && ui->handleMessage(window, message, wParam, lParam)
                 ? 1
                 : DefWindowProcW(window, message, wParam, lParam);
    };
    windowClass.lpszClassName = L"QuorvaneUiTest";
    RegisterClassExW(&windowClass);
    window_ = CreateWindowExW(WS_EX_TOPMOST, L"QuorvaneUiTest", L"", WS_POPUP | WS_VISIBLE, 0, 0, kWidth,
                              kHeight, nullptr, nullptr, nullptr, nullptr);
    DXGI_SWAP_CHAIN_DESC1 desc{};  // as the entry function makes it
    desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
    desc.BufferCount = 2;
    desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
    ComPtr<IDXGIDevice> dxgiDevice;
    ComPtr<IDXGIAdapter> adapter;
    ComPtr<IDXGIFactory2> factory;
    ComPtr<ID3D11Texture2D> backBuffer;
    device_ = createTestDevice(&context_);
    EXPECT_TRUE(device_ && SUCCEEDED(device_.As(&dxgiDevice)) &&
                SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) &&
                SUCCEEDED(adapter->GetParent(IID_PPV_ARGS(&factory))) &&
                SUCCEEDED(factory->CreateSwapChainForHwnd(device_.Get(), window_, &desc, nullptr, nullptr,
                                                          &swapChain_)) &&
                SUCCEEDED(swapChain_->GetBuffer(0, IID_PPV_ARGS(&backBuffer))) &&
                SUCCEEDED(device_->CreateRenderTargetView(backBuffer.Get(), nullptr, &target_)));
    ui_ = std::make_unique<host::UIManager>(window_, device_.Get(), context_.Get());
    EXPECT_TRUE(ui_->initialize());
    ImGui::GetCurrentContext()->TestEngineHookItems = true;
    frames(2);
  }
  ~UiHarness() {
    ui_.reset();
    DestroyWindow(window_);
    current() = nullptr;
  }
  UiHarness(const UiHarness&) = delete;
  UiHarness& operator=(const UiHarness&) = delete;

  static UiHarness*& current() {
    static UiHarness* harness = nullptr;
    return harness;
  }
  host::UIManager& ui() { return *ui_; }

  // Handles the queued messages and draws `count` frames.
  void frames(int count = 1) {
    for (int i = 0; i < count; ++i) {
      MSG message;
      while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
      const float clear[] = {0.06f, 0.06f, 0.10f, 1.0f};
      context_->OMSetRenderTargets(1, target_.GetAddressOf(), nullptr);
      context_->ClearRenderTargetView(target_.Get(), clear);
      drawing.clear();
      ui_->render();
      items_.swap(drawing);
      if (i == count - 1) capture();
      swapChain_->Present(0, 0);
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

  void moveTo(ImVec2 point) {
    POINT screen{static_cast<LONG>(point.x), static_cast<LONG>(point.y)};
    ClientToScreen(window_, &screen);
    SetCursorPos(screen.x, screen.y);
    post(WM_MOUSEMOVE);
  }
  void click(ImVec2 point, bool right = false) {
    EXPECT_GT(point.x, 0.0f) << "nothing to click";
    moveTo(point);
    post(right ? WM_RBUTTONDOWN : WM_LBUTTONDOWN);
    post(right ? WM_RBUTTONUP : WM_LBUTTONUP);
  }
  void click(const std::string& label, int nth = 0) { click(item(label, nth).GetCenter()); }
  void key(WPARAM virtualKey) {
    post(WM_KEYDOWN, virtualKey);
    post(WM_KEYUP, virtualKey);
  }
  void type(const std::string& text) {
    for (char c : text) post(WM_CHAR, static_cast<WPARAM>(c));
  }

  // The first line drawn in the last frame, starting within `area`, that contains `needle`;
  // its text is empty when there is none.
  TextRun text(const std::string& needle, const ImRect& area = ImRect(0, 0, kWidth, kHeight)) const {
    for (const auto& run : texts_) {
      if (area.Contains(run.pos) && run.text.find(needle) != std::string::npos) return run;
    }
    return {};
  }
  // Colour (0xRRGGBB) of the first character of `needle` where it is drawn.
  uint32_t colorOf(const std::string& needle) const {
    const TextRun run = text(needle);
    return run.text.empty() ? 0xFFFFFFFF : rgb(run.colors[run.text.find(needle)]);
  }
  static uint32_t rgb(ImU32 color) {
    return ((color & 0xFF) << 16) | (color & 0xFF00) | ((color >> 16) & 0xFF);
  }

  // Pixels of the last frame in `area` off `color` (0xRRGGBB) by more than 3 in a channel.
  int differing(const ImRect& area, uint32_t color) const {
    int count = 0;
    for (int y = static_cast<int>(area.Min.y); y < static_cast<int>(area.Max.y); ++y) {
      for (int x = static_cast<int>(area.Min.x); x < static_cast<int>(area.Max.x); ++x) {
        const uint32_t pixel = rgb(pixels_[static_cast<size_t>(y) * kWidth + x]);
        bool off = false;
        for (int shift : {0, 8, 16})
          off = off || std::abs(int((pixel >> shift) & 0xFF) - int((color >> shift) & 0xFF)) > 3;
        count += off;
      }
    }
    return count;
  }
  bool showsColor(ImVec2 point, uint32_t color) const {
    return differing(ImRect(point, ImVec2(point.x + 1, point.y + 1)), color) == 0;
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
          run = &texts_.emplace_back(TextRun{{}, pen, pen.x, {}});
        } else if (pen.x > run->right + 0.5f) {  // spaces draw nothing
          run->text += ' ';
          run->colors.push_back(vertices[v].col);
        }
        run->text += static_cast<char>(found->second->Codepoint);
        run->colors.push_back(vertices[v].col);
        run->right = pen.x + found->second->AdvanceX;
        v += 3;
      }
    }
    ComPtr<ID3D11Texture2D> backBuffer;
    swapChain_->GetBuffer(0, IID_PPV_ARGS(&backBuffer));
    pixels_ = readTexture(backBuffer.Get());  // R, G, B, A bytes: the same layout as ImU32
    ASSERT_EQ(pixels_.size(), static_cast<size_t>(kWidth) * kHeight);
  }

  HWND window_ = nullptr;
  ComPtr<ID3D11Device> device_;
  ComPtr<ID3D11DeviceContext> context_;
  ComPtr<IDXGISwapChain1> swapChain_;
  ComPtr<ID3D11RenderTargetView> target_;
  std::unique_ptr<host::UIManager> ui_;
  std::vector<Item> items_;       // widgets of the last frame
  std::vector<uint32_t> pixels_;  // of the last frame
  std::vector<TextRun> texts_;
};

}  // namespace quorvane::test

// The UI library's item hooks: every widget's rectangle, then its label.
void ImGuiTestEngineHook_ItemAdd(ImGuiContext*, const ImRect& bb, ImGuiID id) {
  quorvane::test::UiHarness::current()->drawing.push_back({id, bb, {}});
}
void ImGuiTestEngineHook_ItemInfo(ImGuiContext*, ImGuiID id, const char* label, ImGuiItemStatusFlags) {
  auto* harness = quorvane::test::UiHarness::current();
  if (!harness->drawing.empty() && harness->drawing.back().id == id) harness->drawing.back().label = label;
  if (harness->onItem) harness->onItem(label);
}
void ImGuiTestEngineHook_Log(ImGuiContext*, const char*, ...) {}
const char* ImGuiTestEngine_FindItemDebugLabel(ImGuiContext*, ImGuiID) { return nullptr; }
