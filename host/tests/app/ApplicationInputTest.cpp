// Input records of both channels reach the streamed windows through the application.
// Runs alone: synthesised input goes to whichever window has the focus.
#include <windows.h>
#include <windowsx.h>

#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "app/AppTestSupport.h"
#include "app/Application.h"
#include "protocol/ClientInput.h"
#include "protocol/InputEvent.h"
#include "support/LogCapture.h"

using namespace quorvane::test;
using quorvane::host::ClientInput;
using quorvane::host::InputEvent;

namespace {

struct Seen {
  HWND window;
  UINT message;
  int detail;  // button position as y * 10000 + x, wheel delta, key or character
};
std::vector<Seen> gSeen;  // main thread only

LRESULT CALLBACK recordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_LBUTTONDOWN || message == WM_RBUTTONDOWN) {
    gSeen.push_back({window, message, GET_Y_LPARAM(lParam) * 10000 + GET_X_LPARAM(lParam)});
  } else if (message == WM_MOUSEWHEEL) {
    gSeen.push_back({window, message, GET_WHEEL_DELTA_WPARAM(wParam)});
  } else if ((message == WM_KEYDOWN || message == WM_KEYUP || message == WM_CHAR) && wParam != VK_PACKET) {
    gSeen.push_back({window, message, static_cast<int>(wParam)});
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND createWindow(int x, int y, int width, int height) {
  static const ATOM windowClass = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = recordingWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH));
    wc.lpszClassName = L"ApplicationInputTestWindow";
    return RegisterClassW(&wc);
  }();
  return CreateWindowExW(0, MAKEINTATOM(windowClass), L"input target", WS_POPUP | WS_VISIBLE, x, y, width,
                         height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

bool pumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.wParam == VK_PACKET) TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
}

// Waits for the messages and compares them in order; the record is emptied for the next batch.
void expectSeen(const std::vector<std::tuple<HWND, UINT, int>>& expected) {
  ASSERT_TRUE(pumpUntil([&] { return gSeen.size() >= expected.size(); })) << gSeen.size() << " messages";
  std::this_thread::sleep_for(100ms);
  pumpUntil([] { return true; });
  ASSERT_EQ(gSeen.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::make_tuple(gSeen[i].window, gSeen[i].message, gSeen[i].detail), expected[i])
        << "message " << i;
  }
  gSeen.clear();
}

uint32_t idOf(HWND window) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)); }

TEST(ApplicationInput, RecordsOfBothChannelsReachTheWindowOfTheirStream) {
  ComApartment com;
  LogCapture log;
  SettingsFile file;
  file.save();
  // Two streamed windows side by side: 400x300 at (100, 100) with the focus, 300x200 at (600, 100).
  HWND left = createWindow(100, 100, 400, 300), right = createWindow(600, 100, 300, 200);
  SetForegroundWindow(left);
  SetFocus(left);
  ASSERT_TRUE(pumpUntil([&] { return GetFocus() == left; }));

  quorvane::host::Application app;
  ASSERT_TRUE(app.initialize());
  SignalingClient signaling(file.settings.signalingPort);
  LoopbackClient input, video;
  ASSERT_TRUE(signaling.connect());
  std::vector<uint8_t> ids;
  for (HWND window : {left, right}) {
    signaling.send({{"type", "stream_start"}, {"windowId", idOf(window)}});
    ids.push_back(signaling.next("stream_started")["streamId"].get<uint8_t>());
  }
  ASSERT_TRUE(input.connect(file.settings.inputPort));
  ASSERT_TRUE(video.connect(file.settings.videoPort));

  // Clicks are a press and a release each (a held button would keep the pointer in its
  // window). Positions where a divisor off by one lands on another pixel: 49151 of 65535 is
  // 299.99 of 400 and 149.99 of 200.
  auto click = [&](uint8_t stream, uint16_t x, uint16_t y, uint8_t button) {
    sendRecord(input, InputEvent{stream, 1, 2, x, y, button});
    sendRecord(input, InputEvent{stream, 1, 3, x, y, button});
  };
  auto videoClick = [&](uint8_t stream, uint16_t x, uint16_t y) {
    sendRecord(video, ClientInput{stream, 1, 2, 0, x, y, 0}, 3);
    sendRecord(video, ClientInput{stream, 1, 3, 0, x, y, 0}, 3);
  };
  // The two channels are read on threads of their own: one channel at a time.
  click(ids[0], 49151, 32768, 0);
  sendRecord(input, InputEvent{ids[0], 1, 4, 100, 100, 0, 0, -240});  // wheel
  sendRecord(input, InputEvent{ids[0], 2, 1, 0, 0, 'K'});             // key down
  sendRecord(input, InputEvent{ids[0], 2, 2, 0, 0, 'K'});             // key up
  sendRecord(input, InputEvent{ids[0], 2, 3, 0x20AC, 0, 'x'});        // the character is x
  click(ids[1], 32768, 49151, 1);                                     // the focus moves right
  expectSeen({{left, WM_LBUTTONDOWN, 150 * 10000 + 299},
              {left, WM_MOUSEWHEEL, -240},
              {left, WM_KEYDOWN, 'K'},
              {left, WM_KEYUP, 'K'},
              {left, WM_CHAR, 0x20AC},
              {right, WM_RBUTTONDOWN, 149 * 10000 + 150}});

  videoClick(ids[1], 0, 65534);
  sendRecord(video, ClientInput{ids[0], 2, 3, 0, 0x20AC, 0, 0xE4}, 3);  // the character is the code
  videoClick(77, 0, 0);  // no such stream: the window targeted last, with a warning
  expectSeen({{right, WM_LBUTTONDOWN, 199 * 10000}, {right, WM_CHAR, 0xE4}, {left, WM_LBUTTONDOWN, 0}});
  EXPECT_TRUE(log.contains("Input received for unknown stream 77"));

  signaling.send({{"type", "window_resize"},
                  {"streamId", 0},
                  {"windowId", 0x7ffffff0},
                  {"width", 100},
                  {"height", 100}});
  EXPECT_EQ(signaling.next("window_resized")["success"], false);
  EXPECT_TRUE(log.contains("Invalid window ID for resize: 7ffffff0"));
  DestroyWindow(left);
  DestroyWindow(right);
}

}  // namespace
