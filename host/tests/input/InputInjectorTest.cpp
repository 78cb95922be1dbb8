#include "input/InputInjector.h"

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include <windows.h>
#include <windowsx.h>

#include <gtest/gtest.h>

namespace quorvane::host {
namespace {

using namespace std::chrono_literals;

struct Received {
  HWND window;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
};

// What the test windows' procedure saw on the main thread; touched by no other thread.
std::vector<Received> gReceived;
const DWORD gMainThread = GetCurrentThreadId();
// Minimum tracking size the test windows report, when set.
POINT gMinTrackSize{0, 0};

LRESULT CALLBACK testWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_XBUTTONDOWN:
    case WM_XBUTTONUP:
    case WM_MOUSEWHEEL:
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
      if (GetCurrentThreadId() == gMainThread) {
        gReceived.push_back({window, message, wParam, lParam});
      }
      break;
    case WM_GETMINMAXINFO:
      if (gMinTrackSize.x > 0) {
        reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = gMinTrackSize;
      }
      break;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

const wchar_t* windowClass() {
  static const wchar_t* name = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = testWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = L"InputInjectorTestWindow";
    RegisterClassW(&wc);
    return wc.lpszClassName;
  }();
  return name;
}

// Dispatches this thread's messages until done() holds or many seconds have passed.
bool pumpUntil(const std::function<bool()>& done, std::chrono::seconds limit = 30s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
}

std::vector<Received> receivedOf(std::initializer_list<UINT> messages) {
  std::vector<Received> result;
  for (const Received& r : gReceived) {
    if (std::find(messages.begin(), messages.end(), r.message) != messages.end()) {
      result.push_back(r);
    }
  }
  return result;
}

HWND createWindow(DWORD style, int x, int y, int width, int height) {
  return CreateWindowExW(0, windowClass(), L"input test", style | WS_VISIBLE, x, y, width, height, nullptr,
                         nullptr, GetModuleHandleW(nullptr), nullptr);
}

// A frameless window in the foreground with the keyboard focus, so that synthesised
// pointer and key input reaches it.
class InjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gReceived.clear();
    window = createWindow(WS_POPUP, kLeft, kTop, kWidth, kHeight);
    ASSERT_NE(window, nullptr);
    SetForegroundWindow(window);
    SetFocus(window);
    ASSERT_TRUE(pumpUntil([&] { return GetForegroundWindow() == window && GetFocus() == window; }))
        << "the test window did not become the foreground window";
    injector.initialize({});
  }

  void TearDown() override {
    DestroyWindow(window);
    pumpUntil([] { return true; });
  }

  bool waitForCount(std::initializer_list<UINT> messages, size_t count) {
    return pumpUntil([&] { return receivedOf(messages).size() >= count; });
  }

  static constexpr int kLeft = 200;
  static constexpr int kTop = 150;
  static constexpr int kWidth = 400;
  static constexpr int kHeight = 300;

  HWND window = nullptr;
  InputInjector injector;
};

TEST_F(InjectionTest, ClicksLandOnTheMappedPixelOfTheTarget) {
  injector.handleEventFor(window, {1, 2, 32768, 32768, 0, 0, 0});
  injector.handleEvent({1, 3, 32768, 32768, 0, 0, 0});
  // Further points: the corner, and an inexact fraction (400 * 49151 / 65535 = 299.99).
  injector.handleEvent({1, 2, 0, 0, 0, 0, 0});
  injector.handleEvent({1, 3, 0, 0, 0, 0, 0});
  injector.handleEvent({1, 2, 49151, 16384, 0, 0, 0});
  injector.handleEvent({1, 3, 49151, 16384, 0, 0, 0});
  // Without a target the position is the virtual desktop's own normalised coordinate.
  const int screenX = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int screenY = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int64_t targetX = kLeft + 10 - screenX;
  const int64_t targetY = kTop + 20 - screenY;
  const auto desktopX = static_cast<uint16_t>((targetX * 65536 + GetSystemMetrics(SM_CXVIRTUALSCREEN) - 1) /
                                              GetSystemMetrics(SM_CXVIRTUALSCREEN));
  const auto desktopY = static_cast<uint16_t>((targetY * 65536 + GetSystemMetrics(SM_CYVIRTUALSCREEN) - 1) /
                                              GetSystemMetrics(SM_CYVIRTUALSCREEN));
  injector.handleEventFor(nullptr, {1, 2, desktopX, desktopY, 0, 0, 0});
  injector.handleEvent({1, 3, desktopX, desktopY, 0, 0, 0});

  ASSERT_TRUE(waitForCount({WM_LBUTTONDOWN, WM_LBUTTONUP}, 8));
  const auto clicks = receivedOf({WM_LBUTTONDOWN, WM_LBUTTONUP});
  const POINT expected[] = {{kWidth / 2, kHeight / 2}, {0, 0}, {299, 75}, {10, 20}};
  ASSERT_EQ(clicks.size(), 2 * std::size(expected));
  for (size_t i = 0; i < clicks.size(); ++i) {
    EXPECT_EQ(clicks[i].message, static_cast<UINT>(i % 2 == 0 ? WM_LBUTTONDOWN : WM_LBUTTONUP));
    EXPECT_EQ(GET_X_LPARAM(clicks[i].lParam), expected[i / 2].x) << "click " << i;
    EXPECT_EQ(GET_Y_LPARAM(clicks[i].lParam), expected[i / 2].y) << "click " << i;
  }
}

TEST_F(InjectionTest, ButtonsAndWheelReachTheWindow) {
  injector.setTargetWindow(window);
  injector.sendMouseMove(32768, 32768);
  for (uint8_t button = 0; button <= 4; ++button) {
    injector.sendMouseButton(button, true);
    injector.sendMouseButton(button, false);
  }
  injector.handleEvent({1, 4, 32768, 32768, 0, 0, 120});
  injector.handleEvent({1, 4, 32768, 32768, 0, 0, -120});

  const std::initializer_list<UINT> mouse = {WM_LBUTTONDOWN, WM_LBUTTONUP,   WM_RBUTTONDOWN,
                                             WM_RBUTTONUP,   WM_MBUTTONDOWN, WM_MBUTTONUP,
                                             WM_XBUTTONDOWN, WM_XBUTTONUP,   WM_MOUSEWHEEL};
  ASSERT_TRUE(waitForCount(mouse, 12));
  const auto got = receivedOf(mouse);
  const UINT expected[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP,
                           WM_MBUTTONDOWN, WM_MBUTTONUP, WM_XBUTTONDOWN, WM_XBUTTONUP,
                           WM_XBUTTONDOWN, WM_XBUTTONUP, WM_MOUSEWHEEL,  WM_MOUSEWHEEL};
  ASSERT_EQ(got.size(), std::size(expected));
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].message, expected[i]) << "message " << i;
  }
  EXPECT_EQ(GET_XBUTTON_WPARAM(got[6].wParam), XBUTTON1);
  EXPECT_EQ(GET_XBUTTON_WPARAM(got[8].wParam), XBUTTON2);
  EXPECT_EQ(GET_WHEEL_DELTA_WPARAM(got[10].wParam), 120);
  EXPECT_EQ(GET_WHEEL_DELTA_WPARAM(got[11].wParam), -120);
}

TEST_F(InjectionTest, ModifiersArePressedBeforeTheKeyAndReleasedInOrder) {
  injector.sendKey('A', true, 0x03);
  injector.sendKey('A', false, 0x00);
  injector.handleEvent({2, 1, 0, 0, VK_LEFT, 0, 0});
  injector.handleEvent({2, 2, 0, 0, VK_LEFT, 0, 0});

  ASSERT_TRUE(waitForCount({WM_KEYDOWN, WM_KEYUP}, 8));
  const auto keys = receivedOf({WM_KEYDOWN, WM_KEYUP});
  const std::pair<UINT, WPARAM> expected[] = {
      {WM_KEYDOWN, VK_SHIFT}, {WM_KEYDOWN, VK_CONTROL}, {WM_KEYDOWN, 'A'},     {WM_KEYUP, VK_SHIFT},
      {WM_KEYUP, VK_CONTROL}, {WM_KEYUP, 'A'},          {WM_KEYDOWN, VK_LEFT}, {WM_KEYUP, VK_LEFT}};
  ASSERT_EQ(keys.size(), std::size(expected));
  for (size_t i = 0; i < keys.size(); ++i) {
    EXPECT_EQ(keys[i].message, expected[i].first) << "message " << i;
    EXPECT_EQ(keys[i].wParam, expected[i].second) << "message " << i;
  }
  constexpr LPARAM kExtended = 1 << 24;
  EXPECT_EQ(keys[2].lParam & kExtended, 0);
  EXPECT_NE(keys[6].lParam & kExtended, 0);
  EXPECT_EQ(GetAsyncKeyState(VK_SHIFT) & 0x8000, 0);
  EXPECT_EQ(GetAsyncKeyState(VK_CONTROL) & 0x8000, 0);
}

TEST_F(InjectionTest, DestroyingTheInjectorReleasesTheModifiersItHolds) {
  {
    InputInjector holder;
    holder.sendKey('B', true, 0x01);
    holder.sendKey('B', false, 0x01);
    ASSERT_TRUE(waitForCount({WM_KEYUP}, 1));
    EXPECT_NE(GetAsyncKeyState(VK_SHIFT) & 0x8000, 0);
  }
  ASSERT_TRUE(waitForCount({WM_KEYUP}, 2));
  const auto ups = receivedOf({WM_KEYUP});
  EXPECT_EQ(ups.back().wParam, static_cast<WPARAM>(VK_SHIFT));
  EXPECT_EQ(GetAsyncKeyState(VK_SHIFT) & 0x8000, 0);
}

TEST_F(InjectionTest, UnicodeCharactersArriveAsCharacters) {
  injector.sendUnicodeChar(0x00E9);
  injector.sendUnicodeChar(0x20AC);
  injector.handleEvent({2, 3, 0, 0, 0xE4, 0, 0});
  ASSERT_TRUE(waitForCount({WM_CHAR}, 3));
  const auto chars = receivedOf({WM_CHAR});
  ASSERT_EQ(chars.size(), 3u);
  EXPECT_EQ(chars[0].wParam, 0xE9u);
  EXPECT_EQ(chars[1].wParam, 0x20ACu);
  EXPECT_EQ(chars[2].wParam, 0xE4u);
}

// Two threads aim clicks at two windows at once; each click must land on the window its
// own call named, because setting the target and injecting happen under one hold.
TEST_F(InjectionTest, ConcurrentCallersKeepTheirOwnTargets) {
  HWND other = createWindow(WS_POPUP, kLeft + kWidth + 50, kTop, kWidth, kHeight);
  ASSERT_NE(other, nullptr);
  constexpr int kClicks = 100;
  auto clicker = [&](HWND target, uint8_t button) {
    for (int i = 0; i < kClicks; ++i) {
      injector.handleEventFor(target, {1, 2, 32768, 32768, button, 0, 0});
      injector.handleEventFor(target, {1, 3, 32768, 32768, button, 0, 0});
    }
  };
  std::thread left(clicker, window, 0);
  std::thread right(clicker, other, 1);
  left.join();
  right.join();

  const std::initializer_list<UINT> buttons = {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_RBUTTONDOWN, WM_RBUTTONUP};
  ASSERT_TRUE(waitForCount(buttons, 4 * kClicks));
  const auto got = receivedOf(buttons);
  EXPECT_EQ(got.size(), 4u * kClicks);
  for (const Received& r : got) {
    const bool leftButton = r.message == WM_LBUTTONDOWN || r.message == WM_LBUTTONUP;
    EXPECT_EQ(r.window, leftButton ? window : other);
    EXPECT_EQ(GET_X_LPARAM(r.lParam), kWidth / 2);
    EXPECT_EQ(GET_Y_LPARAM(r.lParam), kHeight / 2);
  }
  DestroyWindow(other);
}

class ResizeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gMinTrackSize = {0, 0};
    window = createWindow(WS_OVERLAPPEDWINDOW, 120, 80, 300, 200);
    ASSERT_NE(window, nullptr);
    pumpUntil([] { return true; });
  }
  void TearDown() override {
    gMinTrackSize = {0, 0};
    DestroyWindow(window);
  }

  static SIZE clientSize(HWND w) {
    RECT r{};
    GetClientRect(w, &r);
    return {r.right - r.left, r.bottom - r.top};
  }
  static RECT windowRect(HWND w) {
    RECT r{};
    GetWindowRect(w, &r);
    return r;
  }

  HWND window = nullptr;
  InputInjector injector;
};

TEST_F(ResizeTest, GivesTheRequestedClientSizeInPlace) {
  const RECT before = windowRect(window);
  ASSERT_TRUE(injector.resizeWindow(window, 640, 480, true));
  const SIZE client = clientSize(window);
  EXPECT_EQ(client.cx, 640);
  EXPECT_EQ(client.cy, 480);
  const RECT after = windowRect(window);
  EXPECT_EQ(after.left, before.left);
  EXPECT_EQ(after.top, before.top);

  ASSERT_TRUE(injector.resizeWindow(window, 500, 300, false));
  EXPECT_EQ(clientSize(window).cx, 500);
  EXPECT_EQ(clientSize(window).cy, 300);
  const RECT centred = windowRect(window);
  EXPECT_EQ(centred.left, (GetSystemMetrics(SM_CXSCREEN) - (centred.right - centred.left)) / 2);
  EXPECT_EQ(centred.top, (GetSystemMetrics(SM_CYSCREEN) - (centred.bottom - centred.top)) / 2);

  // The menu bar's height belongs to the frame, not to the requested client area.
  HMENU menu = CreateMenu();
  AppendMenuW(menu, MF_STRING, 1, L"File");
  ASSERT_TRUE(SetMenu(window, menu));
  ASSERT_TRUE(injector.resizeWindow(window, 640, 480, true));
  EXPECT_EQ(clientSize(window).cx, 640);
  EXPECT_EQ(clientSize(window).cy, 480);
}

TEST_F(ResizeTest, RespectsTheMinimumTrackSize) {
  gMinTrackSize = {520, 410};
  ASSERT_TRUE(injector.resizeWindow(window, 100, 100, true));
  const RECT after = windowRect(window);
  EXPECT_EQ(after.right - after.left, 520);
  EXPECT_EQ(after.bottom - after.top, 410);
}

TEST_F(ResizeTest, RefusesInvalidWindowsAndSizes) {
  EXPECT_FALSE(injector.resizeWindow(nullptr, 640, 480, true));
  HWND gone = createWindow(WS_OVERLAPPEDWINDOW, 0, 0, 100, 100);
  DestroyWindow(gone);
  EXPECT_FALSE(injector.resizeWindow(gone, 640, 480, true));

  const RECT before = windowRect(window);
  EXPECT_FALSE(injector.resizeWindow(window, 0, 480, true));
  EXPECT_FALSE(injector.resizeWindow(window, 640, 0, true));
  EXPECT_FALSE(injector.resizeWindow(window, 32768, 480, true));
  EXPECT_FALSE(injector.resizeWindow(window, 640, 40000, true));
  EXPECT_FALSE(injector.resizeWindow(window, 0xFFFFFFFFu, 0xFFFFFFFFu, true));
  const RECT after = windowRect(window);
  EXPECT_TRUE(EqualRect(&before, &after));
  EXPECT_TRUE(injector.resizeWindow(window, 32767 / 16, 480, true));
}

// A window whose thread has stopped handling messages: the resize must not wait for it,
// and the window takes the new size once its thread runs again.
TEST(ResizeHungWindowTest, DoesNotBlockOnAHungWindow) {
  HANDLE created = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE finish = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HWND hung = nullptr;
  std::thread owner([&] {
    hung = createWindow(WS_OVERLAPPEDWINDOW, 150, 150, 300, 200);
    SetEvent(created);
    WaitForSingleObject(release, INFINITE);  // hung: no messages handled until released
    HANDLE handles[] = {finish};
    while (MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
      }
    }
    DestroyWindow(hung);
  });
  ASSERT_EQ(WaitForSingleObject(created, 30000), WAIT_OBJECT_0);
  ASSERT_NE(hung, nullptr);

  InputInjector injector;
  auto resized = std::async(std::launch::async, [&] { return injector.resizeWindow(hung, 320, 240, true); });
  const bool returned = resized.wait_for(60s) == std::future_status::ready;
  SetEvent(release);
  EXPECT_TRUE(returned) << "resizeWindow waited for the hung window";
  EXPECT_TRUE(resized.get());

  const bool applied = pumpUntil([&] {
    RECT r{};
    GetClientRect(hung, &r);
    return r.right == 320 && r.bottom == 240;
  });
  EXPECT_TRUE(applied);
  SetEvent(finish);
  owner.join();
  CloseHandle(created);
  CloseHandle(release);
  CloseHandle(finish);
}

}  // namespace
}  // namespace quorvane::host
