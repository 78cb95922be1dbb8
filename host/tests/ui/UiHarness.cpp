#include "ui/UiHarness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <map>
#include <utility>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb_image_write.h>

namespace {

struct ItemRecord {
  ImGuiID id = 0;
  ImRect rect;
  std::string label;
};
// Items of the frame being drawn and of the last finished frame.
std::vector<ItemRecord> g_drawingItems;
std::vector<ItemRecord> g_lastItems;

quorvane::host::UIManager* g_ui = nullptr;
quorvane::test::UiHarness* g_harness = nullptr;

LRESULT CALLBACK testWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (g_ui && g_ui->handleMessage(window, message, wParam, lParam)) {
    return 1;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

// The UI library's item hooks (built in with IMGUI_ENABLE_TEST_ENGINE).
void ImGuiTestEngineHook_ItemAdd(ImGuiContext*, const ImRect& bb, ImGuiID id) {
  g_drawingItems.push_back({id, bb, {}});
}
void ImGuiTestEngineHook_ItemInfo(ImGuiContext*, ImGuiID id, const char* label, ImGuiItemStatusFlags) {
  for (auto it = g_drawingItems.rbegin(); it != g_drawingItems.rend(); ++it) {
    if (it->id == id) {
      it->label = label ? label : "";
      if (g_harness && g_harness->onItem) g_harness->onItem(it->label);
      return;
    }
  }
}
void ImGuiTestEngineHook_Log(ImGuiContext*, const char*, ...) {}
const char* ImGuiTestEngine_FindItemDebugLabel(ImGuiContext*, ImGuiID) { return nullptr; }

namespace quorvane::test {

UiHarness::UiHarness() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = testWindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"QuorvaneUiTest";
  RegisterClassExW(&windowClass);
  window_ = CreateWindowExW(WS_EX_TOPMOST, L"QuorvaneUiTest", L"Quorvane Host", WS_POPUP | WS_VISIBLE, 0, 0,
                            kWidth, kHeight, nullptr, nullptr, windowClass.hInstance, nullptr);
  EXPECT_NE(window_, nullptr);
  createDevice();
  ui_ = std::make_unique<host::UIManager>(window_, device_.Get(), context_.Get());
  g_ui = ui_.get();
  g_harness = this;
  EXPECT_TRUE(ui_->initialize());
  ImGui::GetCurrentContext()->TestEngineHookItems = true;
  frames(2);
}

UiHarness::~UiHarness() {
  ui_->shutdown();
  g_ui = nullptr;
  g_harness = nullptr;
  ui_.reset();
  target_.Reset();
  swapChain_.Reset();
  DestroyWindow(window_);
}

void UiHarness::createDevice() {
  const D3D_FEATURE_LEVEL levels[] = {D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0};
  ASSERT_HRESULT_SUCCEEDED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                             D3D11_CREATE_DEVICE_BGRA_SUPPORT, levels, 2, D3D11_SDK_VERSION,
                                             &device_, nullptr, &context_));
  Microsoft::WRL::ComPtr<IDXGIDevice> dxgiDevice;
  Microsoft::WRL::ComPtr<IDXGIAdapter> adapter;
  Microsoft::WRL::ComPtr<IDXGIFactory2> factory;
  ASSERT_HRESULT_SUCCEEDED(device_.As(&dxgiDevice));
  ASSERT_HRESULT_SUCCEEDED(dxgiDevice->GetAdapter(&adapter));
  ASSERT_HRESULT_SUCCEEDED(adapter->GetParent(IID_PPV_ARGS(&factory)));
  DXGI_SWAP_CHAIN_DESC1 desc{};
  desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.BufferUsage = DXGI_USAGE_RENDER_TARGET_OUTPUT;
  desc.BufferCount = 2;
  desc.SwapEffect = DXGI_SWAP_EFFECT_FLIP_DISCARD;
  desc.Flags = DXGI_SWAP_CHAIN_FLAG_ALLOW_MODE_SWITCH;
  ASSERT_HRESULT_SUCCEEDED(
      factory->CreateSwapChainForHwnd(device_.Get(), window_, &desc, nullptr, nullptr, &swapChain_));
  resize(kWidth, kHeight);
}

void UiHarness::resize(int width, int height) {
  width_ = width;
  height_ = height;
  SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  target_.Reset();
  swapChain_->ResizeBuffers(0, width, height, DXGI_FORMAT_UNKNOWN, 0);
  Microsoft::WRL::ComPtr<ID3D11Texture2D> backBuffer;
  swapChain_->GetBuffer(0, IID_PPV_ARGS(&backBuffer));
  device_->CreateRenderTargetView(backBuffer.Get(), nullptr, &target_);
}

void UiHarness::frames(int count) {
  for (int i = 0; i < count; ++i) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    const float clear[] = {0.06f, 0.06f, 0.10f, 1.0f};
    context_->OMSetRenderTargets(1, target_.GetAddressOf(), nullptr);
    context_->ClearRenderTargetView(target_.Get(), clear);
    g_drawingItems.clear();
    ui_->render();
    g_lastItems.swap(g_drawingItems);
    if (i == count - 1) {
      capture();
    }
    swapChain_->Present(0, 0);
  }
}

ImRect UiHarness::item(const std::string& label, int nth) const {
  for (const auto& record : g_lastItems) {
    if (record.label == label && nth-- == 0) {
      return record.rect;
    }
  }
  // Lists report no label; find them by the id their label gives in any window.
  for (ImGuiWindow* window : ImGui::GetCurrentContext()->Windows) {
    const ImGuiID id = ImHashStr(label.c_str(), 0, window->ID);
    for (const auto& record : g_lastItems) {
      if (record.id == id) return record.rect;
    }
  }
  return ImRect();
}

ImRect UiHarness::childWindow(const std::string& name) const {
  // Child windows are named "<parent>/<name>_<id>".
  for (ImGuiWindow* window : ImGui::GetCurrentContext()->Windows) {
    const std::string full = window->Name;
    if (window->Active && full.find("/" + name + "_") != std::string::npos) {
      return ImRect(window->Pos, ImVec2(window->Pos.x + window->Size.x, window->Pos.y + window->Size.y));
    }
  }
  return ImRect();
}

void UiHarness::moveTo(ImVec2 point) {
  POINT screen{static_cast<LONG>(point.x), static_cast<LONG>(point.y)};
  ClientToScreen(window_, &screen);
  SetCursorPos(screen.x, screen.y);
  PostMessageW(window_, WM_MOUSEMOVE, 0, MAKELPARAM(point.x, point.y));
  frames();
}

void UiHarness::mouseButton(bool down, bool right) {
  const UINT message =
      right ? (down ? WM_RBUTTONDOWN : WM_RBUTTONUP) : (down ? WM_LBUTTONDOWN : WM_LBUTTONUP);
  PostMessageW(window_, message, 0, 0);
  frames();
}

void UiHarness::click(ImVec2 point, bool right) {
  EXPECT_GT(point.x, 0.0f) << "nothing to click";
  moveTo(point);
  mouseButton(true, right);
  mouseButton(false, right);
}

void UiHarness::click(const std::string& label, int nth) {
  for (int i = 0; i < 10 && item(label, nth).Max.y > static_cast<float>(height_ - 60); ++i) {
    moveTo(ImVec2(static_cast<float>(width_) / 2, static_cast<float>(height_) / 2));
    wheel(-3);
  }
  click(item(label, nth).GetCenter());
}

void UiHarness::key(WPARAM virtualKey) {
  PostMessageW(window_, WM_KEYDOWN, virtualKey, 0);
  frames();
  PostMessageW(window_, WM_KEYUP, virtualKey, 0);
  frames();
}

void UiHarness::type(const std::string& text) {
  for (char c : text) {
    PostMessageW(window_, WM_CHAR, static_cast<WPARAM>(c), 0);
  }
  frames();
}

void UiHarness::wheel(int notches) {
  PostMessageW(window_, WM_MOUSEWHEEL, MAKEWPARAM(0, notches * WHEEL_DELTA), 0);
  frames();
}

void UiHarness::capture() {
  // Glyphs of every font by the corner of their atlas image, to read the draw lists back.
  std::map<std::pair<float, float>, const ImFontGlyph*> glyphs;
  for (ImFont* font : ImGui::GetIO().Fonts->Fonts) {
    for (const ImFontGlyph& glyph : font->Glyphs) {
      if (glyph.Visible) glyphs[{glyph.U0, glyph.V0}] = &glyph;
    }
  }
  texts_.clear();
  const ImDrawData* data = ImGui::GetDrawData();
  for (int list = 0; data && list < data->CmdListsCount; ++list) {
    const ImVector<ImDrawVert>& vertices = data->CmdLists[list]->VtxBuffer;
    TextRun* run = nullptr;
    float penEnd = 0;
    for (int v = 0; v + 2 < vertices.Size; ++v) {
      const auto found = glyphs.find({vertices[v].uv.x, vertices[v].uv.y});
      if (found == glyphs.end()) continue;
      const ImFontGlyph& glyph = *found->second;
      if (vertices[v + 2].uv.x != glyph.U1 || vertices[v + 2].uv.y != glyph.V1) continue;
      const ImVec2 pen(vertices[v].pos.x - glyph.X0, vertices[v].pos.y - glyph.Y0);
      if (!run || std::fabs(pen.y - run->pos.y) > 0.5f || pen.x < penEnd - 0.5f) {
        run = &texts_.emplace_back(TextRun{{}, pen, 0, {}});
      } else if (pen.x > penEnd + 0.5f) {
        run->text += ' ';
        run->colors.push_back(vertices[v].col);
      }
      run->text += static_cast<char>(glyph.Codepoint);
      run->colors.push_back(vertices[v].col);
      penEnd = pen.x + glyph.AdvanceX;
      run->right = penEnd;
      v += 3;
    }
  }

  Microsoft::WRL::ComPtr<ID3D11Texture2D> backBuffer;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging;
  swapChain_->GetBuffer(0, IID_PPV_ARGS(&backBuffer));
  D3D11_TEXTURE2D_DESC desc{};
  backBuffer->GetDesc(&desc);
  desc.Usage = D3D11_USAGE_STAGING;
  desc.BindFlags = 0;
  desc.MiscFlags = 0;
  desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
  ASSERT_HRESULT_SUCCEEDED(device_->CreateTexture2D(&desc, nullptr, &staging));
  context_->CopyResource(staging.Get(), backBuffer.Get());
  D3D11_MAPPED_SUBRESOURCE mapped{};
  ASSERT_HRESULT_SUCCEEDED(context_->Map(staging.Get(), 0, D3D11_MAP_READ, 0, &mapped));
  pixels_.resize(static_cast<size_t>(width_) * height_ * 4);
  for (int y = 0; y < height_; ++y) {
    std::memcpy(&pixels_[static_cast<size_t>(y) * width_ * 4],
                static_cast<const uint8_t*>(mapped.pData) + static_cast<size_t>(y) * mapped.RowPitch,
                width_ * 4);
  }
  context_->Unmap(staging.Get(), 0);
}

std::vector<UiHarness::TextRun> UiHarness::texts(const ImRect& area) const {
  std::vector<TextRun> result;
  for (const auto& run : texts_) {
    if (area.Contains(run.pos)) result.push_back(run);
  }
  return result;
}

UiHarness::TextRun UiHarness::findText(const std::string& needle, const ImRect& area) const {
  for (const auto& run : texts(area)) {
    if (run.text.find(needle) != std::string::npos) return run;
  }
  return {};
}

uint32_t UiHarness::pixel(int x, int y) const {
  const uint8_t* p = &pixels_[(static_cast<size_t>(y) * width_ + x) * 4];
  return (p[0] << 16) | (p[1] << 8) | p[2];
}

int UiHarness::countColor(const ImRect& area, uint32_t rgb, int tolerance) const {
  int count = 0;
  for (int y = std::max(0, static_cast<int>(area.Min.y)); y < std::min(height_, static_cast<int>(area.Max.y));
       ++y) {
    for (int x = std::max(0, static_cast<int>(area.Min.x));
         x < std::min(width_, static_cast<int>(area.Max.x)); ++x) {
      const uint32_t value = pixel(x, y);
      bool close = true;
      for (int shift : {0, 8, 16}) {
        const int difference =
            static_cast<int>((value >> shift) & 0xFF) - static_cast<int>((rgb >> shift) & 0xFF);
        close = close && std::abs(difference) <= tolerance;
      }
      count += close ? 1 : 0;
    }
  }
  return count;
}

void UiHarness::screenshot(const std::string& name) const {
  std::vector<uint8_t> opaque = pixels_;
  for (size_t i = 3; i < opaque.size(); i += 4) opaque[i] = 255;
  stbi_write_png(("ui-" + name + ".png").c_str(), width_, height_, 4, opaque.data(), width_ * 4);
}

std::string UiHarness::clipboard() {
  std::string text;
  if (!OpenClipboard(nullptr)) return "<clipboard busy>";
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    const auto* wide = static_cast<const wchar_t*>(GlobalLock(data));
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    text.resize(size > 0 ? size - 1 : 0);
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), size, nullptr, nullptr);
    GlobalUnlock(data);
  }
  CloseClipboard();
  return text;
}

void UiHarness::setClipboard(const std::string& text) { ImGui::SetClipboardText(text.c_str()); }

}  // namespace quorvane::test
