#include <winsock2.h>
#include <ws2tcpip.h>

#include "ui/UIManager.h"

#include <algorithm>
#include <chrono>
#include <unordered_map>

#include <imgui.h>
#include <imgui_impl_dx11.h>
#include <imgui_impl_win32.h>
#include <spdlog/spdlog.h>

#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include "ui/UiText.h"

extern IMGUI_IMPL_API LRESULT ImGui_ImplWin32_WndProcHandler(HWND hWnd, UINT msg, WPARAM wParam,
                                                             LPARAM lParam);

namespace quorvane::host {

namespace {

const ImVec4 ColorPrimary(0.45f, 0.35f, 0.90f, 1.0f);
const ImVec4 ColorPrimaryLight(0.55f, 0.40f, 0.98f, 1.0f);
const ImVec4 ColorPrimaryDark(0.35f, 0.25f, 0.70f, 1.0f);
const ImVec4 ColorPrimaryBright(0.60f, 0.45f, 1.00f, 1.0f);
const ImVec4 ColorBackground(0.06f, 0.06f, 0.10f, 1.0f);
const ImVec4 ColorSidebar(0.05f, 0.05f, 0.08f, 1.0f);
const ImVec4 ColorCard(0.10f, 0.10f, 0.16f, 1.0f);
const ImVec4 ColorCardHover(0.12f, 0.12f, 0.20f, 1.0f);
const ImVec4 ColorText(0.95f, 0.95f, 0.98f, 1.0f);
const ImVec4 ColorTextSecondary(0.65f, 0.65f, 0.75f, 1.0f);
const ImVec4 ColorTextMuted(0.45f, 0.45f, 0.55f, 1.0f);
const ImVec4 ColorSuccess(0.30f, 0.85f, 0.55f, 1.0f);
const ImVec4 ColorWarning(0.95f, 0.75f, 0.25f, 1.0f);
const ImVec4 ColorError(0.95f, 0.35f, 0.40f, 1.0f);
const ImVec4 ColorBorder(0.20f, 0.20f, 0.30f, 1.0f);
const ImVec4 ColorFrame(0.15f, 0.15f, 0.22f, 1.0f);
const ImVec4 ColorSliderGrab(0.50f, 0.40f, 0.95f, 1.0f);
const ImVec4 ColorClear(0.0f, 0.0f, 0.0f, 0.0f);

constexpr ImU32 kDotConnected = IM_COL32(77, 217, 140, 255);
constexpr ImU32 kDotIdleStatusBar = IM_COL32(115, 115, 140, 255);
constexpr ImU32 kDotIdleCard = IM_COL32(165, 165, 191, 255);

constexpr float kSidebarWidth = 260.0f;
constexpr float kStatusBarHeight = 56.0f;
constexpr size_t kMaxLogEntries = 1000;

// Whichever public resolver answers is irrelevant: connecting a datagram socket sends
// nothing, it only makes the system pick the outgoing interface.
constexpr const char* kRouteProbeAddress = "8.8.8.8";
constexpr uint16_t kRouteProbePort = 53;

constexpr const char* kLogoPath = "assets/logo.png";
constexpr const char* kLogoPathFromExecutable = "\\..\\..\\..\\host\\assets\\logo.png";
constexpr const char* kFontPaths[] = {"C:\\Windows\\Fonts\\SegoeUI.ttf", "C:\\Windows\\Fonts\\segoeui.ttf"};

struct QualityPreset {
  const char* text;
  int32_t targetBitrate;
  int32_t maxBitrate;
};
constexpr QualityPreset kQualityPresets[] = {
    {"Low (10 Mbps)", 10000, 15000},
    {"Medium (20 Mbps)", 20000, 30000},
    {"High (50 Mbps)", 50000, 75000},
    {"Ultra (100 Mbps)", 100000, 150000},
    {"Custom", 0, 0},
};
constexpr int32_t kCustomPreset = 4;
constexpr int32_t kFrameRates[] = {72, 80, 90, 120};

const char* const kLogFilters[] = {"All", "Debug+", "Info+", "Warn+", "Error+"};

// Settings page only: not part of UISettings, not saved and not passed on.
bool g_startWithWindows = false;
bool g_startMinimized = false;

ImVec4 logLevelColor(uint32_t level) {
  switch (level) {
    case 0:
      return ImVec4(0.50f, 0.50f, 0.50f, 1.0f);
    case 1:
      return ImVec4(0.60f, 0.60f, 0.60f, 1.0f);
    case 2:
      return ImVec4(0.40f, 0.80f, 0.40f, 1.0f);
    case 3:
      return ImVec4(1.00f, 0.80f, 0.20f, 1.0f);
    case 4:
      return ImVec4(1.00f, 0.40f, 0.40f, 1.0f);
    case 5:
      return ImVec4(1.00f, 0.20f, 0.20f, 1.0f);
    default:
      return ImVec4(0.65f, 0.65f, 0.75f, 1.0f);
  }
}

bool fileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool isMissingEncoder(const std::string& name) { return name.empty() || name == "None"; }

void spacer(float height) { ImGui::Dummy(ImVec2(0.0f, height)); }

void pageHeader(ImFont* titleFont, const char* title, const char* description) {
  ImGui::PushFont(titleFont);
  ImGui::TextColored(ColorText, "%s", title);
  ImGui::PopFont();
  ImGui::TextColored(ColorTextSecondary, "%s", description);
}

void heading(ImFont* headingFont, const char* text) {
  ImGui::PushFont(headingFont);
  ImGui::TextColored(ColorText, "%s", text);
  ImGui::PopFont();
}

void explanation(const char* text) { ImGui::TextColored(ColorTextMuted, "%s", text); }

void helpMarker(const char* tooltip) {
  ImGui::SameLine();
  ImGui::TextColored(ColorTextMuted, "(?)");
  if (ImGui::IsItemHovered()) {
    ImGui::SetTooltip("%s", tooltip);
  }
}

// A label in the secondary colour and its value on the same line at x.
void labelledValue(const char* label, float x, const ImVec4& valueColor, const char* value) {
  ImGui::TextColored(ColorTextSecondary, "%s", label);
  ImGui::SameLine(x);
  ImGui::TextColored(valueColor, "%s", value);
}

template <typename... Args>
std::string formatText(const char* pattern, Args... args) {
  char buffer[128];
  std::snprintf(buffer, sizeof(buffer), pattern, args...);
  return buffer;
}

}  // namespace

UIManager::UIManager(HWND window, ID3D11Device* d3dDevice, ID3D11DeviceContext* d3dContext)
    : hwnd(window), device(d3dDevice), deviceContext(d3dContext) {
  if (device) device->AddRef();
  if (deviceContext) deviceContext->AddRef();
}

UIManager::~UIManager() {
  shutdown();
  releaseAll();
}

void UIManager::releaseAll() {
  if (logoTexture) {
    logoTexture->Release();
    logoTexture = nullptr;
  }
  if (deviceContext) {
    deviceContext->Release();
    deviceContext = nullptr;
  }
  if (device) {
    device->Release();
    device = nullptr;
  }
}

bool UIManager::initialize() {
  if (initialized) {
    return true;
  }
  detectLocalIpAddress();

  IMGUI_CHECKVERSION();
  ImGui::CreateContext();
  ImGuiIO& io = ImGui::GetIO();
  io.ConfigFlags |= ImGuiConfigFlags_NavEnableKeyboard;
  io.IniFilename = nullptr;

  ImFontConfig fontConfig;
  fontConfig.OversampleH = 3;
  fontConfig.OversampleV = 2;
  fontConfig.PixelSnapH = true;
  ImFont* defaultFont = nullptr;
  for (const char* path : kFontPaths) {
    // The library treats a missing file as a programming error; look first.
    if (fileExists(path)) {
      defaultFont = io.Fonts->AddFontFromFileTTF(path, 18.0f, &fontConfig);
    }
    if (defaultFont) {
      fontHeading = io.Fonts->AddFontFromFileTTF(path, 24.0f, &fontConfig);
      fontTitle = io.Fonts->AddFontFromFileTTF(path, 32.0f, &fontConfig);
      break;
    }
  }
  if (!defaultFont) {
    defaultFont = io.Fonts->AddFontDefault();
    fontHeading = defaultFont;
    fontTitle = defaultFont;
  }
  io.Fonts->Build();

  applyTheme();
  ImGui_ImplWin32_Init(hwnd);
  ImGui_ImplDX11_Init(device, deviceContext);
  loadLogoTexture();

  initialized = true;
  SPDLOG_INFO("UI Manager initialized with Quorvane purple theme");
  return true;
}

void UIManager::shutdown() {
  if (!initialized) {
    return;
  }
  if (logoTexture) {
    logoTexture->Release();
    logoTexture = nullptr;
  }
  ImGui_ImplDX11_Shutdown();
  ImGui_ImplWin32_Shutdown();
  ImGui::DestroyContext();
  initialized = false;
}

bool UIManager::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  return ImGui_ImplWin32_WndProcHandler(window, message, wParam, lParam) != 0;
}

void UIManager::detectLocalIpAddress() {
  WSADATA wsaData;
  if (WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
    localIp = "127.0.0.1";
    return;
  }
  SOCKET probe = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (probe == INVALID_SOCKET) {
    WSACleanup();
    localIp = "127.0.0.1";
    return;
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(kRouteProbePort);
  inet_pton(AF_INET, kRouteProbeAddress, &remote.sin_addr);
  if (connect(probe, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) == 0) {
    sockaddr_in local{};
    int length = sizeof(local);
    if (getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
      char text[22] = {};
      if (inet_ntop(AF_INET, &local.sin_addr, text, sizeof(text))) {
        localIp = text;
      }
    }
  }
  closesocket(probe);
  SPDLOG_INFO("Detected local IP address: {}", localIp);
}

bool UIManager::loadLogoTexture() {
  int width = 0;
  int height = 0;
  int channels = 0;
  stbi_uc* pixels = stbi_load(kLogoPath, &width, &height, &channels, 4);
  if (!pixels) {
    char modulePath[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, modulePath, MAX_PATH);
    std::string path(modulePath, std::min<DWORD>(length, MAX_PATH));
    const size_t separator = path.find_last_of("\\/");
    path = (separator == std::string::npos ? std::string() : path.substr(0, separator)) +
           kLogoPathFromExecutable;
    pixels = stbi_load(path.c_str(), &width, &height, &channels, 4);
    if (!pixels) {
      SPDLOG_WARN("Failed to load logo texture from: {}", path);
      return false;
    }
  }

  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = static_cast<UINT>(width);
  desc.Height = static_cast<UINT>(height);
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  desc.BindFlags = D3D11_BIND_SHADER_RESOURCE;
  D3D11_SUBRESOURCE_DATA initial{};
  initial.pSysMem = pixels;
  initial.SysMemPitch = desc.Width * 4;
  ID3D11Texture2D* texture = nullptr;
  const HRESULT created = device->CreateTexture2D(&desc, &initial, &texture);
  stbi_image_free(pixels);
  if (FAILED(created)) {
    SPDLOG_ERROR("Failed to create logo texture");
    return false;
  }

  if (logoTexture) {
    logoTexture->Release();
    logoTexture = nullptr;
  }
  D3D11_SHADER_RESOURCE_VIEW_DESC viewDesc{};
  viewDesc.Format = DXGI_FORMAT_R8G8B8A8_UNORM;
  viewDesc.ViewDimension = D3D11_SRV_DIMENSION_TEXTURE2D;
  viewDesc.Texture2D.MostDetailedMip = 0;
  viewDesc.Texture2D.MipLevels = 1;
  const HRESULT viewCreated = device->CreateShaderResourceView(texture, &viewDesc, &logoTexture);
  texture->Release();
  if (FAILED(viewCreated)) {
    logoTexture = nullptr;
    SPDLOG_ERROR("Failed to create logo SRV");
    return false;
  }
  SPDLOG_INFO("Loaded logo texture: {}x{}", width, height);
  return true;
}

void UIManager::applyTheme() {
  ImGuiStyle& style = ImGui::GetStyle();
  style.WindowPadding = ImVec2(20, 20);
  style.WindowRounding = 0;
  style.WindowBorderSize = 0;
  style.ChildRounding = 12;
  style.ChildBorderSize = 1;
  style.PopupRounding = 10;
  style.PopupBorderSize = 1;
  style.FramePadding = ImVec2(14, 10);
  style.FrameRounding = 8;
  style.FrameBorderSize = 0;
  style.ItemSpacing = ImVec2(12, 12);
  style.ItemInnerSpacing = ImVec2(10, 8);
  style.IndentSpacing = 28;
  style.ScrollbarSize = 14;
  style.ScrollbarRounding = 8;
  style.GrabMinSize = 14;
  style.GrabRounding = 6;
  style.TabRounding = 8;
  style.TabBorderSize = 0;

  ImVec4* colors = style.Colors;
  colors[ImGuiCol_Text] = ColorText;
  colors[ImGuiCol_TextDisabled] = ColorTextMuted;
  colors[ImGuiCol_WindowBg] = ColorBackground;
  colors[ImGuiCol_ChildBg] = ColorClear;
  colors[ImGuiCol_PopupBg] = ColorCard;
  colors[ImGuiCol_Border] = ColorBorder;
  colors[ImGuiCol_BorderShadow] = ColorClear;
  colors[ImGuiCol_FrameBg] = ColorFrame;
  colors[ImGuiCol_FrameBgHovered] = ColorCardHover;
  colors[ImGuiCol_FrameBgActive] = ColorCard;
  colors[ImGuiCol_TitleBg] = ColorSidebar;
  colors[ImGuiCol_TitleBgActive] = ColorSidebar;
  colors[ImGuiCol_TitleBgCollapsed] = ColorSidebar;
  colors[ImGuiCol_MenuBarBg] = ColorSidebar;
  colors[ImGuiCol_ScrollbarBg] = ColorBackground;
  colors[ImGuiCol_ScrollbarGrab] = ColorFrame;
  colors[ImGuiCol_ScrollbarGrabHovered] = ColorCardHover;
  colors[ImGuiCol_ScrollbarGrabActive] = ColorPrimary;
  colors[ImGuiCol_CheckMark] = ColorPrimaryLight;
  colors[ImGuiCol_SliderGrab] = ColorSliderGrab;
  colors[ImGuiCol_SliderGrabActive] = ColorPrimaryBright;
  colors[ImGuiCol_Button] = ColorCard;
  colors[ImGuiCol_ButtonHovered] = ColorPrimary;
  colors[ImGuiCol_ButtonActive] = ColorPrimaryDark;
  colors[ImGuiCol_Header] = ColorCard;
  colors[ImGuiCol_HeaderHovered] = ColorPrimary;
  colors[ImGuiCol_HeaderActive] = ColorPrimaryDark;
  colors[ImGuiCol_Separator] = ColorBorder;
  colors[ImGuiCol_SeparatorHovered] = ColorPrimary;
  colors[ImGuiCol_SeparatorActive] = ColorPrimaryLight;
  colors[ImGuiCol_ResizeGrip] = ColorCard;
  colors[ImGuiCol_ResizeGripHovered] = ColorPrimary;
  colors[ImGuiCol_ResizeGripActive] = ColorPrimaryLight;
  colors[ImGuiCol_TabHovered] = ColorPrimary;
  colors[ImGuiCol_Tab] = ColorCard;
  colors[ImGuiCol_TabActive] = ColorPrimaryDark;
  colors[ImGuiCol_TabUnfocused] = ColorCard;
  colors[ImGuiCol_TabUnfocusedActive] = ColorCard;
  colors[ImGuiCol_PlotLines] = ColorPrimary;
  colors[ImGuiCol_PlotHistogram] = ColorPrimary;
  colors[ImGuiCol_PlotLinesHovered] = ColorPrimaryBright;
  colors[ImGuiCol_PlotHistogramHovered] = ColorPrimaryBright;
  colors[ImGuiCol_TextSelectedBg] = ImVec4(0.45f, 0.35f, 0.90f, 0.35f);
  colors[ImGuiCol_DragDropTarget] = ColorPrimaryBright;
  colors[ImGuiCol_NavHighlight] = ColorPrimary;
  colors[ImGuiCol_NavWindowingHighlight] = ColorPrimary;
  colors[ImGuiCol_NavWindowingDimBg] = ImVec4(0.0f, 0.0f, 0.0f, 0.5f);
  colors[ImGuiCol_ModalWindowDimBg] = ImVec4(0.0f, 0.0f, 0.0f, 0.6f);
}

void UIManager::render() {
  if (!initialized) {
    return;
  }
  ImGui_ImplDX11_NewFrame();
  ImGui_ImplWin32_NewFrame();
  ImGui::NewFrame();

  RECT client{};
  GetClientRect(hwnd, &client);
  const float width = static_cast<float>(client.right - client.left);
  const float height = static_cast<float>(client.bottom - client.top);

  ImGui::SetNextWindowPos(ImVec2(0, 0));
  ImGui::SetNextWindowSize(ImVec2(width, height));
  ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0, 0));
  ImGui::PushStyleColor(ImGuiCol_WindowBg, ColorBackground);
  ImGui::Begin("Quorvane Host", nullptr,
               ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoMove |
                   ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoCollapse |
                   ImGuiWindowFlags_NoBringToFrontOnFocus);

  ImGui::PushStyleColor(ImGuiCol_ChildBg, ColorSidebar);
  ImGui::BeginChild("Sidebar", ImVec2(kSidebarWidth, height - kStatusBarHeight), false,
                    ImGuiWindowFlags_NoScrollbar);
  renderSidebar(kSidebarWidth, height - kStatusBarHeight);
  ImGui::EndChild();
  ImGui::PopStyleColor();

  ImGui::SameLine(0, 0);
  ImGui::BeginChild("Content", ImVec2(width - kSidebarWidth, height - kStatusBarHeight));
  renderContent();
  ImGui::EndChild();

  ImGui::SetCursorPos(ImVec2(0, height - kStatusBarHeight));
  renderStatusBar(width);

  ImGui::End();
  ImGui::PopStyleColor();
  ImGui::PopStyleVar();
  ImGui::Render();
  ImGui_ImplDX11_RenderDrawData(ImGui::GetDrawData());
}

void UIManager::renderSidebar(float width, float height) {
  ImGui::SetCursorPos(ImVec2(0, 0));
  ImGui::BeginChild("LogoArea", ImVec2(width, 140));
  spacer(25);
  if (logoTexture) {
    ImGui::SetCursorPosX((width - 60) / 2);
    ImGui::Image(static_cast<ImTextureID>(logoTexture), ImVec2(60, 60));
  }
  spacer(10);
  ImGui::PushFont(fontTitle);
  const char* word = "QUORVANE";
  ImGui::SetCursorPosX((width - ImGui::CalcTextSize(word).x) / 2);
  ImGui::TextColored(ColorPrimaryLight, "%s", word);
  ImGui::PopFont();
  ImGui::EndChild();

  spacer(10);
  ImGui::SetCursorPosX(20);
  ImDrawList* drawList = ImGui::GetWindowDrawList();
  ImVec2 rule = ImGui::GetCursorScreenPos();
  drawList->AddRectFilledMultiColor(rule, ImVec2(rule.x + width - 40, rule.y + 2),
                                    IM_COL32(115, 89, 230, 100), IM_COL32(140, 102, 250, 100),
                                    IM_COL32(140, 102, 250, 100), IM_COL32(115, 89, 230, 100));
  spacer(15);
  spacer(10);

  renderSidebarItem("  Dashboard", 0);
  renderSidebarItem("  Streaming", 1);
  renderSidebarItem("  Audio", 2);
  renderSidebarItem("  Input", 3);
  renderSidebarItem("  Settings", 4);
  renderSidebarItem("  Logs", 5);

  const float rest = height - ImGui::GetCursorPosY() - 80;
  if (rest > 0) {
    spacer(rest);
  }
  ImGui::SetCursorPosX(20);
  rule = ImGui::GetCursorScreenPos();
  drawList->AddRectFilledMultiColor(rule, ImVec2(rule.x + width - 40, rule.y + 1), IM_COL32(50, 50, 80, 150),
                                    IM_COL32(80, 60, 120, 150), IM_COL32(80, 60, 120, 150),
                                    IM_COL32(50, 50, 80, 150));
  spacer(15);
  renderSidebarItem("  About", 6);
}

void UIManager::renderSidebarItem(const char* label, int32_t page) {
  const bool selected = currentPage == page;
  ImGui::SetCursorPosX(15);
  ImGui::PushStyleColor(ImGuiCol_Button, selected ? ColorPrimary : ColorClear);
  ImGui::PushStyleColor(ImGuiCol_ButtonHovered, selected ? ColorPrimaryLight : ColorCardHover);
  ImGui::PushStyleColor(ImGuiCol_Text, selected ? ColorText : ColorTextSecondary);
  ImGui::PushFont(fontHeading);
  if (ImGui::Button(label, ImVec2(kSidebarWidth - 30, 48))) {
    currentPage = page;
  }
  ImGui::PopFont();
  ImGui::PopStyleColor(3);
  spacer(4);
}

void UIManager::renderContent() {
  ImGui::SetCursorPos(ImVec2(30, 25));
  switch (currentPage) {
    case 0:
      ImGui::PushFont(fontTitle);
      ImGui::TextColored(ColorText, "Dashboard");
      ImGui::PopFont();
      spacer(20);
      renderConnectionCard();
      ImGui::SameLine(0, 30);
      renderSystemCard();
      spacer(30);
      heading(fontHeading, "Available Windows");
      ImGui::TextColored(ColorTextSecondary, "Select windows to stream to your Quest headset");
      spacer(15);
      renderWindowList();
      break;
    case 1:
      renderStreamingPage();
      break;
    case 2:
      renderAudioPage();
      break;
    case 3:
      pageHeader(fontTitle, "Input", "Configure controller and tracking input");
      spacer(25);
      ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
      if (ImGui::Checkbox("Track Controllers", &settings.trackControllers)) {
        notifySettingsChanged();
      }
      explanation("Use Quest controllers as mouse/keyboard input");
      spacer(15);
      if (ImGui::Checkbox("Forward Tracking Data", &settings.forwardTracking)) {
        notifySettingsChanged();
      }
      explanation("Send headset and controller tracking to PC applications");
      ImGui::PopStyleVar();
      break;
    case 4:
      renderSettingsPage();
      break;
    case 5:
      renderLogsPage();
      break;
    case 6:
      renderAboutPage();
      break;
    default:
      break;
  }
}

void UIManager::renderStatusBar(float width) {
  ImGui::PushStyleColor(ImGuiCol_ChildBg, ColorSidebar);
  ImGui::BeginChild("StatusBar", ImVec2(width, kStatusBarHeight), false, ImGuiWindowFlags_NoScrollbar);
  ImGui::SetCursorPos(ImVec2(25, 18));
  const ImVec2 dot = ImGui::GetCursorScreenPos();
  ImGui::GetWindowDrawList()->AddCircleFilled(ImVec2(dot.x + 6, dot.y + 8), 6,
                                              connectionStatus.connected ? kDotConnected : kDotIdleStatusBar);
  ImGui::Dummy(ImVec2(20, 0));
  ImGui::SameLine();
  if (connectionStatus.connected) {
    ImGui::TextColored(ColorSuccess, "Connected to %s", connectionStatus.clientName.c_str());
  } else {
    ImGui::TextColored(ColorTextMuted, "Waiting for client...");
  }

  ImGui::SetCursorPos(ImVec2(width - 400, 18));
  if (connectionStatus.connected) {
    ImGui::TextColored(ColorTextSecondary, "FPS:");
    ImGui::SameLine();
    ImGui::TextColored(ColorText, "%d", connectionStatus.fps);
    ImGui::SameLine(0, 25);
    ImGui::TextColored(ColorTextSecondary, "Latency:");
    ImGui::SameLine();
    ImGui::TextColored(ColorText, "%.1f ms", connectionStatus.latencyMs);
    ImGui::SameLine(0, 25);
    ImGui::TextColored(ColorTextSecondary, "Bitrate:");
    ImGui::SameLine();
    ImGui::TextColored(ColorText, "%.1f Mbps", connectionStatus.bitrateMbps);
  } else {
    ImGui::TextColored(ColorTextSecondary, "Encoder:");
    ImGui::SameLine();
    ImGui::TextColored(isMissingEncoder(systemInfo.encoderName) ? ColorWarning : ColorSuccess, "%s",
                       systemInfo.encoderName.c_str());
  }
  ImGui::EndChild();
  ImGui::PopStyleColor();
}

void UIManager::renderAboutPage() {
  ImGui::PushFont(fontTitle);
  ImGui::TextColored(ColorText, "About");
  ImGui::PopFont();
  spacer(30);
  if (logoTexture) {
    ImGui::Image(static_cast<ImTextureID>(logoTexture), ImVec2(80, 80));
    spacer(15);
  }
  ImGui::PushFont(fontTitle);
  ImGui::TextColored(ColorPrimaryLight, "Quorvane Native");
  ImGui::PopFont();
  ImGui::TextColored(ColorTextSecondary, "Version 1.1.0");
  spacer(20);
  ImGui::PushTextWrapPos(ImGui::GetCursorPosX() + 500);
  ImGui::TextColored(
      ColorText,
      "A native VR window streaming platform for Meta Quest. Stream individual windows to your "
      "headset with ultra-low latency.");
  ImGui::PopTextWrapPos();
  spacer(30);
  heading(fontHeading, "System Information");
  spacer(10);
  labelledValue("Graphics Card:", 200, ColorText, systemInfo.gpuName.c_str());
  labelledValue("VRAM:", 200, ColorText, formatText("%u MB", systemInfo.vramMB).c_str());
  labelledValue("Hardware Encoder:", 200,
                isMissingEncoder(systemInfo.encoderName) ? ColorWarning : ColorSuccess,
                systemInfo.encoderName.c_str());
  labelledValue("Windows Graphics Capture:", 200, systemInfo.wgcSupported ? ColorSuccess : ColorWarning,
                systemInfo.wgcSupported ? "Supported" : "Not Available");
  spacer(30);
  ImGui::TextColored(ColorPrimaryLight, "https://quorvane.example");
}

void UIManager::renderConnectionCard() {
  ImGui::PushStyleColor(ImGuiCol_ChildBg, ColorCard);
  ImGui::PushStyleVar(ImGuiStyleVar_ChildRounding, 16);
  ImGui::BeginChild("ConnectionCard", ImVec2(420, 230), true, ImGuiWindowFlags_NoScrollbar);
  spacer(10);
  ImGui::SetCursorPosX(20);
  heading(fontHeading, "Connection Status");
  spacer(15);
  ImGui::SetCursorPosX(20);
  const ImVec2 dot = ImGui::GetCursorScreenPos();
  ImGui::GetWindowDrawList()->AddCircleFilled(ImVec2(dot.x + 6, dot.y + 8), 6,
                                              connectionStatus.connected ? kDotConnected : kDotIdleCard);
  ImGui::Dummy(ImVec2(20, 0));
  ImGui::SameLine();
  if (connectionStatus.connected) {
    ImGui::TextColored(ColorSuccess, "Connected");
    ImGui::SetCursorPosX(20);
    ImGui::TextColored(ColorTextSecondary, "Client: %s", connectionStatus.clientName.c_str());
    ImGui::SetCursorPosX(20);
    ImGui::TextColored(ColorTextSecondary, "IP: %s", connectionStatus.clientIp.c_str());
  } else {
    ImGui::TextColored(ColorTextMuted, "Waiting for connection...");
    spacer(10);
    const char* ip = localIp.c_str();
    const struct {
      const char* label;
      const char* pattern;
      int32_t port;
    } endpoints[] = {{"Signaling:", "ws://%s:%d", settings.signalingPort},
                     {"Video:", "tcp://%s:%d", settings.videoPort},
                     {"Audio:", "tcp://%s:%d", settings.audioPort},
                     {"Input:", "tcp://%s:%d", settings.inputPort}};
    for (const auto& endpoint : endpoints) {
      ImGui::SetCursorPosX(20);
      labelledValue(endpoint.label, 130, ColorPrimaryLight,
                    formatText(endpoint.pattern, ip, endpoint.port).c_str());
    }
  }
  ImGui::EndChild();
  ImGui::PopStyleVar();
  ImGui::PopStyleColor();
}

void UIManager::renderSystemCard() {
  ImGui::PushStyleColor(ImGuiCol_ChildBg, ColorCard);
  ImGui::PushStyleVar(ImGuiStyleVar_ChildRounding, 16);
  ImGui::BeginChild("SystemCard", ImVec2(420, 200), true, ImGuiWindowFlags_NoScrollbar);
  spacer(10);
  ImGui::SetCursorPosX(20);
  heading(fontHeading, "System Information");
  spacer(15);
  ImGui::SetCursorPosX(20);
  labelledValue("GPU:", 130, ColorText, systemInfo.gpuName.c_str());
  ImGui::SetCursorPosX(20);
  labelledValue("Encoder:", 130, isMissingEncoder(systemInfo.encoderName) ? ColorWarning : ColorSuccess,
                systemInfo.encoderName.c_str());
  ImGui::SetCursorPosX(20);
  labelledValue("VRAM:", 130, ColorText, formatText("%u MB", systemInfo.vramMB).c_str());
  ImGui::SetCursorPosX(20);
  labelledValue("WGC:", 130, systemInfo.wgcSupported ? ColorSuccess : ColorWarning,
                systemInfo.wgcSupported ? "Supported" : "Not Available");
  ImGui::EndChild();
  ImGui::PopStyleVar();
  ImGui::PopStyleColor();
}

void UIManager::renderWindowList() {
  ImGui::PushStyleColor(ImGuiCol_ChildBg, ColorCard);
  ImGui::PushStyleVar(ImGuiStyleVar_ChildRounding, 12);
  const float available = ImGui::GetContentRegionAvail().x;
  ImGui::BeginChild("WindowList", ImVec2(available - 30, 350), true);
  spacer(5);

  if (windows.empty()) {
    spacer(30);
    for (const char* line : {"No windows available for capture", "Open some applications to see them here"}) {
      ImGui::SetCursorPosX((available - 30 - ImGui::CalcTextSize(line).x) / 2);
      ImGui::TextColored(ColorTextMuted, "%s", line);
    }
  } else {
    const float rowWidth = available - 60;
    for (WindowListEntry& row : windows) {
      ImGui::PushID(static_cast<int>(row.windowId));
      const ImVec2 origin = ImGui::GetCursorPos();
      ImGui::SetCursorPosX(10);
      ImGui::PushStyleColor(ImGuiCol_Header, ColorFrame);
      ImGui::PushStyleColor(ImGuiCol_HeaderHovered, ColorCardHover);
      ImGui::PushStyleColor(ImGuiCol_HeaderActive, ColorPrimaryDark);
      if (ImGui::Selectable("##item", row.streaming, 0, ImVec2(rowWidth, 56))) {
        if (row.streaming) {
          if (onStopCapture) {
            onStopCapture(row.streamId);
          }
          row.streaming = false;
          row.streamId = 0;
        } else {
          // The id is spent whether or not the start succeeds.
          const uint8_t streamId = nextStreamId++;
          if (onStartCapture && onStartCapture(row.windowId, streamId)) {
            row.streaming = true;
            row.streamId = streamId;
          }
        }
      }
      ImGui::PopStyleColor(3);

      ImGui::SetCursorPos(ImVec2(origin.x + 20, origin.y + 10));
      ImGui::PushFont(fontHeading);
      const std::string title = uitext::fitTitle(row.title, rowWidth - 200, [](std::string_view text) {
        return ImGui::CalcTextSize(text.data(), text.data() + text.size()).x;
      });
      ImGui::TextColored(ColorText, "%s", title.c_str());
      ImGui::PopFont();
      ImGui::SetCursorPos(ImVec2(origin.x + 20, origin.y + 32));
      ImGui::TextColored(ColorTextMuted, "%s", row.processName.c_str());
      ImGui::SetCursorPos(ImVec2(origin.x + rowWidth - 100, origin.y + 18));
      if (row.streaming) {
        ImGui::TextColored(ColorSuccess, "Streaming");
      } else {
        ImGui::TextColored(ColorTextMuted, "Ready");
      }
      ImGui::SetCursorPos(ImVec2(origin.x, origin.y + 61));
      ImGui::PopID();
    }
  }
  ImGui::EndChild();
  ImGui::PopStyleVar();
  ImGui::PopStyleColor();
}

void UIManager::updateWindowList(const std::vector<protocol::WindowInfo>& list) {
  std::unordered_map<uint32_t, WindowListEntry> previous;
  previous.reserve(windows.size());
  for (auto& row : windows) {
    previous[row.windowId] = std::move(row);
  }
  windows.clear();
  windows.reserve(list.size());
  for (const auto& info : list) {
    WindowListEntry row;
    row.windowId = info.id;
    row.title = info.title;
    row.processName = info.processName;
    if (auto found = previous.find(info.id); found != previous.end()) {
      row.streaming = found->second.streaming;
      row.streamId = found->second.streamId;
    }
    windows.push_back(std::move(row));
    previous.erase(info.id);
  }
  // A window that is no longer listed (closed, as a rule) ends the stream the list started on
  // it, as a click on its row would: nobody else would ever stop it.
  for (const auto& [windowId, row] : previous) {
    if (row.streaming && onStopCapture) {
      onStopCapture(row.streamId);
    }
  }
}

void UIManager::notifySettingsChanged() {
  if (onSettingsChanged) {
    onSettingsChanged(settings);
  }
}

void UIManager::renderStreamingPage() {
  pageHeader(fontTitle, "Streaming", "Configure video quality and encoding settings");
  spacer(25);

  heading(fontHeading, "Quality Preset");
  spacer(10);
  const char* presetTexts[std::size(kQualityPresets)];
  for (size_t i = 0; i < std::size(kQualityPresets); ++i) {
    presetTexts[i] = kQualityPresets[i].text;
  }
  ImGui::SetNextItemWidth(350);
  ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(14, 12));
  int preset = settings.qualityPreset;
  if (ImGui::Combo("##QualityPreset", &preset, presetTexts, static_cast<int>(std::size(presetTexts)))) {
    settings.qualityPreset = preset;
    if (preset >= 0 && preset < kCustomPreset) {
      settings.targetBitrate = kQualityPresets[preset].targetBitrate;
      settings.maxBitrate = kQualityPresets[preset].maxBitrate;
    }
    notifySettingsChanged();
  }
  ImGui::PopStyleVar();

  spacer(25);
  heading(fontHeading, "Target Frame Rate");
  spacer(10);
  for (size_t i = 0; i < std::size(kFrameRates); ++i) {
    const int32_t rate = kFrameRates[i];
    if (i > 0) {
      ImGui::SameLine(0, 10);
    }
    const bool selected = settings.targetFps == rate;
    ImGui::PushStyleColor(ImGuiCol_Button, selected ? ColorPrimary : ColorCard);
    ImGui::PushStyleColor(ImGuiCol_ButtonHovered, selected ? ColorPrimaryLight : ColorCardHover);
    if (ImGui::Button(formatText("%d Hz", rate).c_str(), ImVec2(90, 45))) {
      settings.targetFps = rate;
      notifySettingsChanged();
    }
    ImGui::PopStyleColor(2);
  }

  spacer(25);
  heading(fontHeading, "Video Bitrate");
  ImGui::TextColored(ColorTextSecondary, "Higher bitrate improves quality but increases latency");
  spacer(10);
  ImGui::SetNextItemWidth(450);
  ImGui::PushStyleColor(ImGuiCol_SliderGrab, ColorSliderGrab);
  ImGui::PushStyleColor(ImGuiCol_SliderGrabActive, ColorPrimaryBright);
  int mbps = settings.targetBitrate / 1000;
  if (ImGui::SliderInt("##Bitrate", &mbps, 5, 150, "%d Mbps")) {
    // Typed input (Ctrl+click, Tab) is not held to the range; a negative or huge value
    // would reach the encoder or overflow the maximum.
    mbps = std::clamp(mbps, 5, 150);
    settings.qualityPreset = kCustomPreset;
    settings.targetBitrate = mbps * 1000;
    settings.maxBitrate = mbps * 1500;
    notifySettingsChanged();
  }
  ImGui::PopStyleColor(2);

  spacer(25);
  heading(fontHeading, "Video Codec");
  spacer(10);
  const char* codecs[] = {"H.264", "HEVC (H.265)"};
  int codec = settings.codec == "h264" ? 0 : 1;
  ImGui::SetNextItemWidth(250);
  ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(14, 12));
  if (ImGui::Combo("##Codec", &codec, codecs, 2)) {
    settings.codec = codec == 0 ? "h264" : "hevc";
    notifySettingsChanged();
  }
  ImGui::PopStyleVar();

  spacer(30);
  heading(fontHeading, "Advanced Options");
  spacer(10);
  ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
  if (ImGui::Checkbox("Low Latency Mode", &settings.lowLatencyMode)) {
    notifySettingsChanged();
  }
  explanation("Optimizes for minimal motion-to-photon latency");
  spacer(8);
  if (ImGui::Checkbox("Adaptive Bitrate", &settings.adaptiveBitrate)) {
    notifySettingsChanged();
  }
  explanation("Automatically adjusts bitrate based on network conditions");
  spacer(8);
  if (ImGui::Checkbox("Slice-based Encoding", &settings.sliceEncoding)) {
    notifySettingsChanged();
  }
  explanation("Enables parallel encoding for lower latency");
  ImGui::PopStyleVar();

  spacer(30);
  heading(fontHeading, "Video Quality");
  ImGui::TextColored(ColorTextSecondary, "Post-processing effects applied before encoding");
  spacer(10);
  ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
  if (ImGui::Checkbox("Enable Sharpening (CAS)", &settings.sharpeningEnabled)) {
    notifySettingsChanged();
  }
  helpMarker(
      "Contrast Adaptive Sharpening (AMD FidelityFX)\nImproves text and UI clarity before encoding.\nAdds "
      "slight GPU "
      "overhead.");
  if (settings.sharpeningEnabled) {
    spacer(8);
    ImGui::TextColored(ColorTextSecondary, "Sharpness");
    ImGui::SetNextItemWidth(350);
    ImGui::PushStyleColor(ImGuiCol_SliderGrab, ColorSliderGrab);
    ImGui::PushStyleColor(ImGuiCol_SliderGrabActive, ColorPrimaryBright);
    if (ImGui::SliderFloat("##Sharpness", &settings.sharpness, 0.0f, 1.0f, "%.1f")) {
      settings.sharpness = std::clamp(settings.sharpness, 0.0f, 1.0f);
      notifySettingsChanged();
    }
    ImGui::PopStyleColor(2);
    explanation("0.0 = Off, 0.7 = Default, 1.0 = Maximum");
  }
  spacer(15);
  if (ImGui::Checkbox("VSync Frame Pacing", &settings.vsyncEnabled)) {
    notifySettingsChanged();
  }
  helpMarker(
      "Synchronize frame capture with monitor VSync.\nReduces screen tearing and improves frame "
      "consistency.\nMay "
      "add up to 1 frame of latency.");
  spacer(15);
  if (ImGui::Checkbox("Full Range Color", &settings.fullRangeColor)) {
    notifySettingsChanged();
  }
  helpMarker(
      "Expand color range from limited (16-235) to full (0-255).\nImproves color accuracy and reduces "
      "banding in "
      "gradients.\nRequires encoder restart to take effect.");
  ImGui::PopStyleVar();
}

void UIManager::renderAudioPage() {
  pageHeader(fontTitle, "Audio", "Configure audio streaming and microphone settings");
  spacer(25);
  heading(fontHeading, "Audio Quality");
  spacer(10);
  ImGui::SetNextItemWidth(400);
  ImGui::PushStyleColor(ImGuiCol_SliderGrab, ColorSliderGrab);
  if (ImGui::SliderInt("##AudioQuality", &settings.audioBitrate, 64, 320, "%d kbps")) {
    settings.audioBitrate = std::clamp(settings.audioBitrate, 64, 320);
    notifySettingsChanged();
  }
  ImGui::PopStyleColor();

  spacer(30);
  heading(fontHeading, "Microphone");
  spacer(10);
  ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
  if (ImGui::Checkbox("Enable Microphone Passthrough", &settings.micPassthrough)) {
    notifySettingsChanged();
  }
  explanation("Forward Quest microphone audio to PC");
  if (settings.micPassthrough) {
    spacer(15);
    ImGui::TextColored(ColorTextSecondary, "Microphone Volume");
    ImGui::SetNextItemWidth(350);
    ImGui::PushStyleColor(ImGuiCol_SliderGrab, ColorSliderGrab);
    if (ImGui::SliderInt("##MicVolume", &settings.micVolume, 0, 100, "%d %%")) {
      settings.micVolume = std::clamp(settings.micVolume, 0, 100);
      notifySettingsChanged();
    }
    ImGui::PopStyleColor();
    spacer(10);
    if (ImGui::Checkbox("Noise Cancellation", &settings.noiseCancellation)) {
      notifySettingsChanged();
    }
    explanation("Reduce background noise from microphone");
  }
  ImGui::PopStyleVar();
}

void UIManager::renderSettingsPage() {
  pageHeader(fontTitle, "Settings", "Application configuration");
  spacer(25);
  heading(fontHeading, "Network (TCP)");
  explanation("Signaling, video, audio and input each use a port of their own.");
  spacer(10);
  labelledValue("Signaling:", 180, ColorPrimaryLight,
                formatText("%d (WebSocket)", settings.signalingPort).c_str());
  labelledValue("Video Port:", 180, ColorPrimaryLight, formatText("%d (TCP)", settings.videoPort).c_str());
  labelledValue("Audio Port:", 180, ColorPrimaryLight, formatText("%d (TCP)", settings.audioPort).c_str());
  labelledValue("Input Port:", 180, ColorPrimaryLight, formatText("%d (TCP)", settings.inputPort).c_str());

  spacer(25);
  heading(fontHeading, "Startup");
  spacer(10);
  ImGui::PushStyleVar(ImGuiStyleVar_FramePadding, ImVec2(6, 6));
  ImGui::Checkbox("Start with Windows", &g_startWithWindows);
  ImGui::Checkbox("Start Minimized", &g_startMinimized);
  ImGui::PopStyleVar();

  spacer(30);
  ImGui::PushStyleColor(ImGuiCol_Button, ColorCard);
  ImGui::PushStyleColor(ImGuiCol_ButtonHovered, ColorError);
  if (ImGui::Button("Reset to Defaults", ImVec2(180, 45))) {
    settings = UISettings{};
    notifySettingsChanged();
  }
  ImGui::PopStyleColor(2);
}

void UIManager::addLog(int level, const std::string& message) {
  std::lock_guard lock(logMutex);
  LogEntry entry;
  entry.level = static_cast<uint32_t>(level);
  entry.time = uitext::formatLogTime(std::chrono::system_clock::now());
  entry.message = message;
  logs.push_back(std::move(entry));
  if (logs.size() > kMaxLogEntries) {
    logs.erase(logs.begin());
  }
  ++logRevision;
}

void UIManager::renderLogsPage() {
  ImGui::PushFont(fontTitle);
  ImGui::TextColored(ColorText, "Logs");
  ImGui::PopFont();
  ImGui::TextColored(ColorTextSecondary, "Real-time application logs");
  spacer(15);

  ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 6);
  ImGui::PushStyleColor(ImGuiCol_Button, ColorCard);
  ImGui::PushStyleColor(ImGuiCol_ButtonHovered, ColorCardHover);
  if (ImGui::Button("Clear Logs")) {
    std::lock_guard lock(logMutex);
    logs.clear();
    ++logRevision;
  }
  ImGui::SameLine();
  if (ImGui::Button("Copy All")) {
    std::string all;
    {
      std::lock_guard lock(logMutex);
      for (const auto& entry : logs) {
        all.append(uitext::logLineText(entry)).append("\n");
      }
    }
    ImGui::SetClipboardText(all.c_str());
  }
  if (ImGui::IsItemHovered()) {
    ImGui::SetTooltip("Copy all logs to clipboard");
  }
  ImGui::SameLine();
  ImGui::Checkbox("Auto-scroll", &autoScroll);
  ImGui::SameLine(ImGui::GetWindowWidth() - 200);
  ImGui::SetNextItemWidth(180);
  ImGui::Combo("##LogLevel", &logLevelFilter, kLogFilters, static_cast<int>(std::size(kLogFilters)));
  ImGui::PopStyleColor(2);
  ImGui::PopStyleVar();

  ImGui::TextColored(ColorTextMuted, "Tip: Right-click a log entry to copy it");
  spacer(10);

  ImGui::PushStyleColor(ImGuiCol_ChildBg, ColorBackground);
  ImGui::BeginChild("LogScroll", ImVec2(0, -5), true, ImGuiWindowFlags_HorizontalScrollbar);
  {
    // Drawing a thousand lines takes milliseconds; a thread that logs meanwhile must not
    // wait for it. Copying reuses the strings' storage, so it is short.
    std::lock_guard lock(logMutex);
    if (logViewRevision != logRevision) {
      logView = logs;
      logViewRevision = logRevision;
    }
  }
  for (size_t i = 0; i < logView.size(); ++i) {
    const LogEntry& entry = logView[i];
    if (logLevelFilter >= 1 && entry.level < static_cast<uint32_t>(logLevelFilter)) {
      continue;
    }
    const std::string line = uitext::logLineText(entry);
    ImGui::PushID(static_cast<int>(i));
    const ImVec2 position = ImGui::GetCursorPos();
    if (ImGui::Selectable("##logline", false,
                          ImGuiSelectableFlags_SpanAllColumns | ImGuiSelectableFlags_AllowDoubleClick)) {
      ImGui::SetClipboardText(line.c_str());
    }
    if (ImGui::BeginPopupContextItem("LogContextMenu")) {
      if (ImGui::MenuItem("Copy")) {
        ImGui::SetClipboardText(line.c_str());
      }
      if (ImGui::MenuItem("Copy Message Only")) {
        ImGui::SetClipboardText(entry.message.c_str());
      }
      ImGui::EndPopup();
    }
    ImGui::SetCursorPos(position);
    ImGui::TextColored(ColorTextSecondary, "%s", entry.time.c_str());
    ImGui::SameLine();
    ImGui::TextColored(logLevelColor(entry.level), "%s", uitext::logLevelTag(entry.level));
    ImGui::SameLine();
    ImGui::TextColored(ColorText, "%s", entry.message.c_str());
    ImGui::PopID();
  }
  if (autoScroll && ImGui::GetScrollY() >= ImGui::GetScrollMaxY() - 20) {
    ImGui::SetScrollHereY(1.0f);
  }
  ImGui::EndChild();
  ImGui::PopStyleColor();
}

}  // namespace quorvane::host
