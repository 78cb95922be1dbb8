#include "capture/CaptureFailureReport.h"

#include <dxgi.h>
#include <wrl/client.h>

#include <spdlog/spdlog.h>

using Microsoft::WRL::ComPtr;

namespace quorvane::host {

namespace {

constexpr uint32_t kMinimumBuild = 18362;
constexpr uint32_t kNoInterface = 0x80004002;
constexpr uint32_t kAccessDenied = 0x80070005;
constexpr uint32_t kInvalidArg = 0x80070057;
constexpr uint32_t kDxgiInvalidCall = 0x887A0001;
constexpr int kNameBufferLength = 256;

const char* yesNo(bool value) { return value ? "YES" : "NO"; }

void logLines(const spdlog::source_loc& where, spdlog::level::level_enum level,
              std::initializer_list<const char*> lines) {
  for (const char* line : lines) {
    spdlog::default_logger_raw()->log(where, level, "{}", line);
  }
}

}  // namespace

std::string CaptureFailureReport::toUtf8(const wchar_t* text) {
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (bytes <= 1) {
    return {};
  }
  std::string result(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), bytes, nullptr, nullptr);
  result.resize(static_cast<size_t>(bytes - 1));
  return result;
}

std::string CaptureFailureReport::windowTitle(HWND hwnd) {
  wchar_t title[kNameBufferLength] = {};
  InternalGetWindowText(hwnd, title, kNameBufferLength);
  title[kNameBufferLength - 1] = L'\0';
  return toUtf8(title);
}

bool CaptureFailureReport::logDiagnostics(const spdlog::source_loc& where, HWND hwnd, ID3D11Device* device,
                                          uint32_t buildNumber, bool supported) {
  auto* log = spdlog::default_logger_raw();
  const auto handle = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(hwnd));
  log->log(where, spdlog::level::info, "=== CAPTURE DIAGNOSTICS for window {:x} ===", handle);
  log->log(where, spdlog::level::info, "  Windows Build: {}", buildNumber);
  log->log(where, spdlog::level::info, "  GraphicsCaptureSession::IsSupported(): {}", yesNo(supported));
  if (!supported) {
    logLines(where, spdlog::level::err,
             {"CAPTURE ERROR: GraphicsCaptureSession is NOT supported on this system!",
              "  This usually means:", "    1. Windows version is too old (need 1903+)",
              "    2. Graphics driver doesn't support Windows Graphics Capture",
              "    3. Hardware-accelerated GPU scheduling is disabled",
              "  Try: Settings > System > Display > Graphics > Hardware-accelerated GPU scheduling > ON",
              "  Then RESTART your computer."});
    return false;
  }
  if (!IsWindow(hwnd)) {
    log->log(where, spdlog::level::err, "  Window handle {:x} is INVALID!", handle);
    return false;
  }

  const auto style = static_cast<uint32_t>(GetWindowLongW(hwnd, GWL_STYLE));
  const auto exStyle = static_cast<uint32_t>(GetWindowLongW(hwnd, GWL_EXSTYLE));
  wchar_t className[kNameBufferLength] = {};
  GetClassNameW(hwnd, className, kNameBufferLength);
  const bool minimized = IsIconic(hwnd) != FALSE;

  log->log(where, spdlog::level::info, "  Window Title: {}", windowTitle(hwnd));
  log->log(where, spdlog::level::info, "  Window Class: {}", toUtf8(className));
  log->log(where, spdlog::level::info, "  Window Style: 0x{:08x}", style);
  log->log(where, spdlog::level::info, "  Window ExStyle: 0x{:08x}", exStyle);
  log->log(where, spdlog::level::info, "  IsWindowVisible: {}", yesNo(IsWindowVisible(hwnd) != FALSE));
  log->log(where, spdlog::level::info, "  IsIconic (minimized): {}", yesNo(minimized));
  if (minimized) {
    log->log(where, spdlog::level::warn, "  Window is MINIMIZED - capture may fail or return black frames");
  }

  ComPtr<IDXGIDevice> dxgiDevice;
  ComPtr<IDXGIAdapter> adapter;
  DXGI_ADAPTER_DESC desc{};
  if (device != nullptr && SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(&dxgiDevice))) &&
      SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) && SUCCEEDED(adapter->GetDesc(&desc))) {
    desc.Description[127] = L'\0';
    log->log(where, spdlog::level::info, "  GPU: {}", toUtf8(desc.Description));
    log->log(where, spdlog::level::info, "  GPU Vendor ID: 0x{:04x}", desc.VendorId);
  }
  log->log(where, spdlog::level::info, "=== END DIAGNOSTICS ===");
  return true;
}

void CaptureFailureReport::logFailure(const spdlog::source_loc& where, uint32_t code,
                                      const std::string& message, uint32_t buildNumber) {
  auto* log = spdlog::default_logger_raw();
  const auto err = spdlog::level::err;
  log->log(where, err, "=== CAPTURE FAILED ===");
  log->log(where, err, "  Error Code: 0x{:08x}", code);
  log->log(where, err, "  Error Message: {}", message);
  log->log(where, err, "  Windows Build: {}", buildNumber);
  if (code == kNoInterface && buildNumber < kMinimumBuild) {
    log->log(where, err, "ROOT CAUSE: Windows version too old!");
    log->log(where, err, "  You have Build {}, but 18362+ (Windows 10 1903) is required.", buildNumber);
    log->log(where, err, "  SOLUTION: Update Windows via Settings > Update & Security");
  } else if (code == kNoInterface) {
    logLines(
        where, err,
        {"ROOT CAUSE: Windows Graphics Capture API blocked/unavailable",
         "",
         "This error (E_NOINTERFACE) on a supported Windows version usually means",
         "the Graphics Capture API is disabled or your GPU driver doesn't support it.",
         "",
         "=== TRY THESE SOLUTIONS (in order) ===",
         "",
         "1. ENABLE HARDWARE GPU SCHEDULING (most likely fix):",
         "   Settings > System > Display > Graphics settings",
         "   Turn ON 'Hardware-accelerated GPU scheduling'",
         "   >>> RESTART YOUR PC <<<",
         "",
         "2. ADD APP TO HIGH PERFORMANCE GPU:",
         "   Settings > System > Display > Graphics settings",
         "   Click 'Browse' > Select QuorvaneHost.exe",
         "   Click 'Options' > Select 'High performance' > Save",
         "",
         "3. RE-REGISTER GRAPHICS CAPTURE (run in Admin PowerShell):",
         "   Get-AppxPackage *GraphicsCapture* | Foreach {Add-AppxPackage -DisableDevelopmentMode -Register "
         "\"$($_.InstallLocation)\\AppXManifest.xml\"}",
         "",
         "4. REINSTALL GPU DRIVER:",
         "   Download latest driver from AMD/NVIDIA website",
         "   Use DDU (Display Driver Uninstaller) for clean install",
         "",
         "5. RUN SYSTEM FILE CHECKER:",
         "   Open Admin Command Prompt, run: sfc /scannow",
         "",
         "6. CHECK WINDOWS OPTIONAL FEATURES:",
         "   Settings > Apps > Optional Features",
         "   Make sure 'Graphics Tools' is installed",
         "",
         "If none of these work, there may be a deeper Windows/driver issue.",
         "Try: Windows Settings > System > Recovery > Reset this PC (keep files)"});
  } else if (code == kAccessDenied) {
    logLines(
        where, err,
        {"ROOT CAUSE: Access Denied", "  SOLUTION: Right-click QuorvaneHost.exe > Run as administrator"});
  } else if (code == kInvalidArg) {
    logLines(where, err,
             {"ROOT CAUSE: Invalid window or parameters",
              "  The window may be invalid, minimized, or a special system window.",
              "  SOLUTION: Try capturing a different window (like Notepad or Chrome)"});
  } else if (code == kDxgiInvalidCall) {
    logLines(where, err, {"ROOT CAUSE: DirectX/DXGI error", "  SOLUTION: Update GPU drivers and restart PC"});
  } else {
    logLines(where, err, {"ROOT CAUSE: Unknown error", "  Please report this error code to the developers."});
  }
  log->log(where, err, "=== END ERROR DETAILS ===");
}

}  // namespace quorvane::host
