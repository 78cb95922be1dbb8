#pragma once

#include <d3d11.h>
#include <dxgi1_2.h>
#include <windows.h>
#include <wrl/client.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <imgui.h>
#include <imgui_internal.h>

#include "ui/UIManager.h"

namespace quorvane::test {

// A control window on a real top-level window with its own device and swap chain, driven
// the way the entry function drives it: messages through the window procedure, then
// render and present. Input arrives as the window's own mouse and keyboard messages (with
// the shared pointer moved, since the UI library reads its position).
//
// After every frame it keeps what was drawn: the back buffer's pixels, the texts with their
// colours (read from the draw lists) and the rectangles of the widgets (from the UI
// library's item hooks), so that a test can find a widget by its label.
class UiHarness {
 public:
  static constexpr int kWidth = 1280;
  static constexpr int kHeight = 1100;

  UiHarness();
  ~UiHarness();
  UiHarness(const UiHarness&) = delete;
  UiHarness& operator=(const UiHarness&) = delete;

  host::UIManager& ui() { return *ui_; }

  // Called on the main thread as each labelled widget is laid out, in the middle of a frame.
  std::function<void(const std::string& label)> onItem;

  // Handles the queued messages and draws `count` frames.
  void frames(int count = 1);
  void resize(int width, int height);

  // The rectangle of the nth widget of the last frame with that label; empty when none.
  ImRect item(const std::string& label, int nth = 0) const;
  // The rectangle of the child window whose own name is `name`; empty when none.
  ImRect childWindow(const std::string& name) const;

  void moveTo(ImVec2 point);
  void click(ImVec2 point, bool right = false);
  // Scrolls the page under the pointer until the widget is above the status bar, then clicks it.
  void click(const std::string& label, int nth = 0);
  void mouseButton(bool down, bool right = false);
  void key(WPARAM virtualKey);
  void type(const std::string& text);
  void wheel(int notches);

  struct TextRun {
    std::string text;
    ImVec2 pos;
    float right = 0;            // where the pen stood after the last character
    std::vector<ImU32> colors;  // one per character
  };
  // Every line of text drawn in the last frame, optionally only those starting inside `area`.
  std::vector<TextRun> texts(const ImRect& area = ImRect(-1e6f, -1e6f, 1e6f, 1e6f)) const;
  // The first drawn text containing `needle`; the run's text is empty when there is none.
  TextRun findText(const std::string& needle, const ImRect& area = ImRect(-1e6f, -1e6f, 1e6f, 1e6f)) const;

  // Pixel of the last frame as 0xRRGGBB.
  uint32_t pixel(int x, int y) const;
  // Pixels of the last frame in `area` within `tolerance` of `rgb` in every channel.
  int countColor(const ImRect& area, uint32_t rgb, int tolerance = 3) const;
  void screenshot(const std::string& name) const;

  static std::string clipboard();
  static void setClipboard(const std::string& text);

 private:
  void createDevice();
  void capture();

  HWND window_ = nullptr;
  Microsoft::WRL::ComPtr<ID3D11Device> device_;
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context_;
  Microsoft::WRL::ComPtr<IDXGISwapChain1> swapChain_;
  Microsoft::WRL::ComPtr<ID3D11RenderTargetView> target_;
  std::unique_ptr<host::UIManager> ui_;
  int width_ = kWidth;
  int height_ = kHeight;
  std::vector<uint8_t> pixels_;  // RGBA rows of the last frame
  std::vector<TextRun> texts_;
};

// Colours of the theme as 0xRRGGBB, as the back buffer holds them.
constexpr uint32_t kRgbPrimary = 0x7359E5;     // 0.45, 0.35, 0.90
constexpr uint32_t kRgbSidebar = 0x0D0D14;     // 0.05, 0.05, 0.08
constexpr uint32_t kRgbBackground = 0x0F0F1A;  // 0.06, 0.06, 0.10
constexpr uint32_t kRgbSuccess = 0x4DD98C;     // 0.30, 0.85, 0.55, also the connected dot
constexpr uint32_t kRgbWarning = 0xF2BF40;     // 0.95, 0.75, 0.25
constexpr uint32_t kRgbMuted = 0x73738C;       // 0.45, 0.45, 0.55, also the idle dot

// A colour of the draw lists (ImU32, ABGR) as 0xRRGGBB.
inline uint32_t rgbOf(ImU32 color) {
  return ((color & 0xFF) << 16) | (color & 0xFF00) | ((color >> 16) & 0xFF);
}

}  // namespace quorvane::test
