#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <d3d11.h>
#include <windows.h>

#include "protocol/WindowInfo.h"
#include "ui/ConnectionStatus.h"
#include "ui/LogEntry.h"
#include "ui/SystemInfo.h"
#include "ui/UISettings.h"
#include "ui/WindowListEntry.h"

struct ImFont;

namespace quorvane::host {

// The control window: draws the sidebar, the pages and the status bar with Dear ImGui on
// the device and swap chain of the main window, and owns the UI library's context, the
// logo texture, the page state, the window list and the log lines.
//
// Everything runs on the main thread, once per frame, except addLog, which any thread may
// call. The entry function clears and presents the back buffer around render().
class UIManager {
 public:
  UIManager(HWND window, ID3D11Device* device, ID3D11DeviceContext* deviceContext);
  ~UIManager();

  UIManager(const UIManager&) = delete;
  UIManager& operator=(const UIManager&) = delete;

  // Sets up the UI library, fonts, theme, backends and logo. Always succeeds; a second
  // call does nothing.
  bool initialize();
  // Draws one frame into the bound render target; nothing before initialize().
  void render();
  // Hands a window message to the UI library; true when the library consumed it.
  bool handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void shutdown();

  // Replaces the window list, keeping the state of rows whose window is still listed; the
  // stream of a streaming row whose window is no longer listed is stopped through onStopCapture.
  void updateWindowList(const std::vector<protocol::WindowInfo>& list);
  // Appends a line to the log view, dropping the oldest beyond 1000. Any thread.
  void addLog(int level, const std::string& message);

  UISettings settings;
  SystemInfo systemInfo;
  ConnectionStatus connectionStatus;

  std::function<void(const UISettings&)> onSettingsChanged;
  std::function<bool(uint32_t windowId, uint8_t streamId)> onStartCapture;
  std::function<void(uint8_t streamId)> onStopCapture;

 private:
  friend class UIManagerTestAccess;

  void renderSidebar(float width, float height);
  void renderSidebarItem(const char* label, int32_t page);
  void renderContent();
  void renderStatusBar(float width);
  void renderAboutPage();

  void renderDashboardPage();
  void renderConnectionCard();
  void renderSystemCard();
  void renderWindowList();

  void renderStreamingPage();
  void renderAudioPage();
  void renderInputPage();
  void renderSettingsPage();
  void notifySettingsChanged();

  void renderLogsPage();

  void detectLocalIpAddress();
  bool loadLogoTexture();
  void applyTheme();
  void releaseAll();

  HWND hwnd = nullptr;
  ID3D11Device* device = nullptr;
  ID3D11DeviceContext* deviceContext = nullptr;
  ID3D11ShaderResourceView* logoTexture = nullptr;
  ImFont* fontHeading = nullptr;
  ImFont* fontTitle = nullptr;
  int32_t currentPage = 0;

  std::vector<WindowListEntry> windows;
  uint8_t nextStreamId = 1;

  std::string localIp = "0.0.0.0";
  bool initialized = false;

  std::vector<LogEntry> logs;
  std::mutex logMutex;
  bool autoScroll = true;
  int32_t logLevelFilter = 0;

  // Bumped under logMutex by every change of `logs`.
  uint64_t logRevision = 0;
  // Main thread only: the lines as the log view last copied them from `logs`, so that the
  // view holds logMutex only to copy changed lines, never while it draws.
  std::vector<LogEntry> logView;
  uint64_t logViewRevision = ~uint64_t{0};
};

}  // namespace quorvane::host
