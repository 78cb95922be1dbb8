#pragma once

#include <windows.h>
#include <d3d11.h>

#include <cstdint>
#include <string>

#include <spdlog/common.h>

namespace quorvane::host {

// What a capture start logs about the system, the window and the adapter before it creates
// anything, and the report of the likely cause when the start fails with a runtime error. Lines
// carry the source location they are given (the start's own).
class CaptureFailureReport {
 public:
  // The diagnostics block. False, after the error lines, when capture is not supported or the
  // window handle is no longer valid; the start must then end.
  static bool logDiagnostics(const spdlog::source_loc& where, HWND hwnd, ID3D11Device* device,
                             uint32_t buildNumber, bool supported);

  // The failure report of a runtime error with its code and message text.
  static void logFailure(const spdlog::source_loc& where, uint32_t code, const std::string& message,
                         uint32_t buildNumber);

  // The title of a window without sending it a message (so a window whose thread waits on the
  // caller cannot block the read), cut to 255 characters, in UTF-8.
  static std::string windowTitle(HWND hwnd);

  static std::string toUtf8(const wchar_t* text);
};

}  // namespace quorvane::host
