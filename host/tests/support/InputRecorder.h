#pragma once

// Windows on the test's main thread that record the input messages they receive, and a
// message pump with a deadline, for the tests of synthesised input.

#include <windows.h>
#include <windowsx.h>

#include <chrono>
#include <functional>
#include <future>
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

// How long input may take to arrive; a passing test never waits it out.
constexpr std::chrono::seconds kInputWait{10};

// Dispatches this thread's messages until done() holds or kInputWait has passed.
inline bool pumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + kInputWait;
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

// Waits, without handling any message or window event of this thread, until the pointer is
// at the screen pixel `at`; false after kInputWait. Input that another thread injects into
// this thread's windows is waited for with it, up to a last pointer move of its own, before
// the windows handle any of it: under Wine the X server reports each injected pointer move
// back to the thread under the pointer, and a late report handled between a later move and
// its button press would put the press where the pointer had been before.
inline bool waitForPointerAt(POINT at) {
  auto reached = std::async(std::launch::async, [at] {
    const auto deadline = std::chrono::steady_clock::now() + kInputWait;
    for (POINT p{}; !GetCursorPos(&p) || p.x != at.x || p.y != at.y;) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      Sleep(5);
    }
    return true;
  });
  return reached.get();
}

}  // namespace quorvane::test
