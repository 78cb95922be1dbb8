#pragma once

// Windows on the test's main thread that record the input messages they receive, and a
// message pump with a deadline, for the tests of synthesised input.

#include <windows.h>
#include <windowsx.h>

#include <chrono>
#include <functional>
#include <vector>

namespace quorvane::test {

constexpr int kExtended = 0x10000;  // marks a key message flagged as an extended key

// One input message: the X button, wheel delta, key (with kExtended) or character, and the
// client position of button messages (else -1). Characters are recorded as WM_CHAR only, not
// as the VK_PACKET key messages that carry them.
struct Seen {
  UINT message;
  int detail, x, y;
  HWND window;
};

// What the recording windows saw on the main thread; touched by no other thread.
inline std::vector<Seen> gSeen;
inline const DWORD gMainThread = GetCurrentThreadId();

inline LRESULT CALLBACK recordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const bool key = message >= WM_KEYDOWN && message <= WM_CHAR && wParam != VK_PACKET;
  const bool button = message >= WM_LBUTTONDOWN && message <= WM_XBUTTONUP && message != WM_MOUSEWHEEL;
  if (GetCurrentThreadId() == gMainThread && (key || button || message == WM_MOUSEWHEEL)) {
    int detail = message == WM_MOUSEWHEEL    ? GET_WHEEL_DELTA_WPARAM(wParam)
                 : message >= WM_XBUTTONDOWN ? GET_XBUTTON_WPARAM(wParam)
                                             : 0;
    if (key) detail = static_cast<int>(wParam) | (message != WM_CHAR && (lParam & (1 << 24)) ? kExtended : 0);
    gSeen.push_back(
        {message, detail, button ? GET_X_LPARAM(lParam) : -1, button ? GET_Y_LPARAM(lParam) : -1, window});
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

inline HWND createRecordingWindow(DWORD style, int x, int y, int width, int height) {
  static const ATOM windowClass = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = recordingWindowProc;
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    wc.lpszClassName = L"QuorvaneInputRecorder";
    return RegisterClassW(&wc);
  }();
  return CreateWindowExW(0, MAKEINTATOM(windowClass), L"input test", style | WS_VISIBLE, x, y, width, height,
                         nullptr, nullptr, nullptr, nullptr);
}

// Dispatches this thread's messages until done() holds or a few seconds have passed.
inline bool pumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.wParam == VK_PACKET) TranslateMessage(&msg);  // characters only from injected text
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

}  // namespace quorvane::test
