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
using Points = std::vector<std::pair<int, int>>;

constexpr int kExtended = 0x10000;  // marks a key message flagged as an extended key

// One input message as the tests check it: the X button, wheel delta, key (with kExtended)
// or character, and the client position of button messages. Characters are recorded as
// WM_CHAR only, not as the VK_PACKET key messages that carry them.
struct Seen {
  UINT message;
  int detail, x, y;
  HWND window;
};

// What the test windows saw on the main thread; touched by no other thread.
std::vector<Seen> gSeen;
const DWORD gMainThread = GetCurrentThreadId();
POINT gMinTrackSize{0, 0};  // reported by the test windows when set

LRESULT CALLBACK testWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const bool main = GetCurrentThreadId() == gMainThread;
  if (message == WM_GETMINMAXINFO && gMinTrackSize.x > 0) {
    reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize =
        gMinTrackSize;  // NOLINT(performance-no-int-to-ptr)
  } else if (main && message >= WM_LBUTTONDOWN && message <= WM_XBUTTONUP && message != WM_MOUSEWHEEL) {
    const int button = message >= WM_XBUTTONDOWN ? GET_XBUTTON_WPARAM(wParam) : 0;
    gSeen.push_back({message, button, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam), window});
  } else if (main && message == WM_MOUSEWHEEL) {
    gSeen.push_back({message, GET_WHEEL_DELTA_WPARAM(wParam), -1, -1, window});
  } else if (main && (message == WM_KEYDOWN || message == WM_KEYUP || message == WM_CHAR) &&
             wParam != VK_PACKET) {
    const int extended = (message != WM_CHAR && (lParam & (1 << 24))) ? kExtended : 0;
    gSeen.push_back({message, static_cast<int>(wParam) | extended, -1, -1, window});
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND createWindow(DWORD style, int x, int y, int width, int height) {
  static const ATOM windowClass = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = testWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"InputInjectorTestWindow";
    return RegisterClassW(&wc);
  }();
  return CreateWindowExW(0, MAKEINTATOM(windowClass), L"input test", style | WS_VISIBLE, x, y, width, height,
                         nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
}

// Dispatches this thread's messages until done() holds or a few seconds have passed.
bool pumpUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.wParam == VK_PACKET) TranslateMessage(&msg);  // characters only from injected text
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
}

// Waits for as many messages as expected and compares them in order.
void expectSeen(const std::vector<std::pair<UINT, int>>& expected) {
  ASSERT_TRUE(pumpUntil([&] { return gSeen.size() >= expected.size(); })) << gSeen.size() << " messages";
  ASSERT_EQ(gSeen.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::pair(gSeen[i].message, gSeen[i].detail), expected[i]) << "message " << i;
  }
}

// Where the button messages seen arrived, in client coordinates.
Points clickPoints() {
  Points points;
  for (const Seen& s : gSeen) {
    if (s.x >= 0) points.emplace_back(s.x, s.y);
  }
  return points;
}

// A frameless window in the foreground with the keyboard focus, so that synthesised pointer
// and key input reaches it. Its sides divide 65535 (257 x 255 = 65535): a position k * 255
// across it is exactly pixel k, which any other divisor than 65535 misses by one.
class InjectionTest : public ::testing::Test {
 protected:
  static constexpr int kLeft = 200, kTop = 150, kWidth = 257, kHeight = 255;

  void SetUp() override {
    gSeen.clear();
    window = createWindow(WS_POPUP, kLeft, kTop, kWidth, kHeight);
    ASSERT_NE(window, nullptr);
    SetForegroundWindow(window);
    SetFocus(window);
    ASSERT_TRUE(pumpUntil([&] { return GetForegroundWindow() == window && GetFocus() == window; }));
    injector.initialize({});
  }
  void TearDown() override {
    DestroyWindow(window);
    pumpUntil([] { return true; });
  }
  void click(HWND target, uint16_t x, uint16_t y, uint8_t button = 0) {
    injector.handleEventFor(target, {1, 2, x, y, button, 0, 0});
    injector.handleEventFor(target, {1, 3, x, y, button, 0, 0});
  }

  HWND window = nullptr;
  InputInjector injector;
};

TEST_F(InjectionTest, ClicksLandOnTheMappedPixelOfTheTarget) {
  // The corner, the middle, the last column and the last row.
  click(window, 0, 0);
  click(window, 32768, 32768);
  click(window, 256 * 255, 254 * 257);
  click(window, 255 * 255, 100 * 257);
  // Without a target the position is the virtual desktop's own normalised coordinate.
  const auto desktop = [](int64_t at, int origin, int size) {
    const int extent = GetSystemMetrics(size);
    return static_cast<uint16_t>(((at - GetSystemMetrics(origin)) * 65536 + extent - 1) / extent);
  };
  click(nullptr, desktop(kLeft + 10, SM_XVIRTUALSCREEN, SM_CXVIRTUALSCREEN),
        desktop(kTop + 20, SM_YVIRTUALSCREEN, SM_CYVIRTUALSCREEN));
  ASSERT_TRUE(pumpUntil([] { return gSeen.size() >= 10; }));
  EXPECT_EQ(clickPoints(), (Points{{0, 0},
                                   {0, 0},
                                   {128, 127},
                                   {128, 127},
                                   {256, 254},
                                   {256, 254},
                                   {255, 100},
                                   {255, 100},
                                   {10, 20},
                                   {10, 20}}));
}

TEST_F(InjectionTest, ButtonsWheelKeysAndCharactersArriveInOrder) {
  injector.setTargetWindow(window);
  injector.sendMouseMove(32768, 32768);
  for (uint8_t button = 0; button <= 4; ++button) {
    injector.sendMouseButton(button, true);
    injector.sendMouseButton(button, false);
  }
  injector.handleEvent({1, 4, 32768, 32768, 0, 0, 120});
  injector.handleEvent({1, 4, 32768, 32768, 0, 0, -120});
  injector.sendKey('A', true, 0x03);  // Shift and Ctrl
  injector.sendKey('A', false, 0x00);
  injector.handleEvent({2, 1, 0, 0, VK_LEFT, 0, 0});
  injector.handleEvent({2, 2, 0, 0, VK_LEFT, 0, 0});
  injector.sendUnicodeChar(0x20AC);
  injector.handleEvent({2, 3, 0, 0, 0xE4, 0, 0});
  const int left = VK_LEFT | kExtended;
  expectSeen({{WM_LBUTTONDOWN, 0},    {WM_LBUTTONUP, 0},        {WM_RBUTTONDOWN, 0},  {WM_RBUTTONUP, 0},
              {WM_MBUTTONDOWN, 0},    {WM_MBUTTONUP, 0},        {WM_XBUTTONDOWN, 1},  {WM_XBUTTONUP, 1},
              {WM_XBUTTONDOWN, 2},    {WM_XBUTTONUP, 2},        {WM_MOUSEWHEEL, 120}, {WM_MOUSEWHEEL, -120},
              {WM_KEYDOWN, VK_SHIFT}, {WM_KEYDOWN, VK_CONTROL}, {WM_KEYDOWN, 'A'},    {WM_KEYUP, VK_SHIFT},
              {WM_KEYUP, VK_CONTROL}, {WM_KEYUP, 'A'},          {WM_KEYDOWN, left},   {WM_KEYUP, left},
              {WM_CHAR, 0x20AC},      {WM_CHAR, 0xE4}});
  EXPECT_EQ(clickPoints(), Points(10, {128, 127}));
  EXPECT_EQ(GetAsyncKeyState(VK_CONTROL) & 0x8000, 0);

  // Modifiers an injector still holds are released when it is destroyed.
  gSeen.clear();
  {
    InputInjector holder;
    holder.sendKey('B', true, 0x01);
    holder.sendKey('B', false, 0x01);
    ASSERT_TRUE(pumpUntil([] { return gSeen.size() >= 3; }));
    EXPECT_NE(GetAsyncKeyState(VK_SHIFT) & 0x8000, 0);
  }
  expectSeen({{WM_KEYDOWN, VK_SHIFT}, {WM_KEYDOWN, 'B'}, {WM_KEYUP, 'B'}, {WM_KEYUP, VK_SHIFT}});
  EXPECT_EQ(GetAsyncKeyState(VK_SHIFT) & 0x8000, 0);
}

// Two threads aim clicks at two windows at once; each click must land on the window its
// own call named, because setting the target and injecting happen under one hold.
TEST_F(InjectionTest, ConcurrentCallersKeepTheirOwnTargets) {
  HWND other = createWindow(WS_POPUP, kLeft + kWidth + 50, kTop, kWidth, kHeight);
  ASSERT_NE(other, nullptr);
  constexpr size_t kClicks = 100;
  auto clicker = [&](HWND target, uint8_t button) {
    for (size_t i = 0; i < kClicks; ++i) click(target, 32768, 32768, button);
  };
  std::thread a(clicker, window, 0), b(clicker, other, 1);
  a.join();
  b.join();
  ASSERT_TRUE(pumpUntil([&] { return gSeen.size() >= 4 * kClicks; }));
  EXPECT_EQ(gSeen.size(), 4 * kClicks);
  for (const Seen& s : gSeen) EXPECT_EQ(s.window, s.message <= WM_LBUTTONUP ? window : other);
  EXPECT_EQ(clickPoints(), Points(4 * kClicks, {128, 127}));
  DestroyWindow(other);
}

std::pair<LONG, LONG> clientSize(HWND w) {
  RECT r{};
  GetClientRect(w, &r);
  return {r.right, r.bottom};
}

TEST(ResizeWindowTest, GivesTheRequestedClientSizeAndRefusesBadRequests) {
  InputInjector injector;
  HWND window = createWindow(WS_OVERLAPPEDWINDOW, 120, 80, 300, 200);
  ASSERT_NE(window, nullptr);
  pumpUntil([] { return true; });
  const auto rect = [&] {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
  };
  const RECT before = rect();
  ASSERT_TRUE(injector.resizeWindow(window, 640, 480, true));
  EXPECT_EQ(clientSize(window), std::pair(640L, 480L));
  EXPECT_EQ(std::pair(rect().left, rect().top), std::pair(before.left, before.top));
  ASSERT_TRUE(injector.resizeWindow(window, 500, 300, false));
  EXPECT_EQ(clientSize(window), std::pair(500L, 300L));
  const RECT centred = rect();
  EXPECT_EQ(centred.left, (GetSystemMetrics(SM_CXSCREEN) - (centred.right - centred.left)) / 2);
  EXPECT_EQ(centred.top, (GetSystemMetrics(SM_CYSCREEN) - (centred.bottom - centred.top)) / 2);
  // The menu bar's height belongs to the frame, not to the requested client area.
  HMENU menu = CreateMenu();
  AppendMenuW(menu, MF_STRING, 1, L"File");
  ASSERT_TRUE(SetMenu(window, menu));
  ASSERT_TRUE(injector.resizeWindow(window, 640, 480, true));
  EXPECT_EQ(clientSize(window), std::pair(640L, 480L));

  gMinTrackSize = {520, 410};
  EXPECT_TRUE(injector.resizeWindow(window, 100, 100, true));
  gMinTrackSize = {0, 0};
  const RECT limited = rect();
  EXPECT_EQ(std::pair(limited.right - limited.left, limited.bottom - limited.top), std::pair(520L, 410L));
  for (const auto& [w, h] : {std::pair{0u, 480u}, {640u, 0u}, {32768u, 480u}, {640u, 40000u}, {~0u, ~0u}}) {
    EXPECT_FALSE(injector.resizeWindow(window, w, h, true)) << w << "x" << h;
  }
  const RECT after = rect();
  EXPECT_TRUE(EqualRect(&limited, &after));
  EXPECT_TRUE(injector.resizeWindow(window, 32767 / 16, 480, true));
  DestroyWindow(window);
  EXPECT_FALSE(injector.resizeWindow(window, 640, 480, true));
  EXPECT_FALSE(injector.resizeWindow(nullptr, 640, 480, true));
}

// A window whose thread has stopped handling messages: the resize must not wait for it,
// and the window takes the new size once its thread runs again.
TEST(ResizeWindowTest, DoesNotBlockOnAHungWindow) {
  std::promise<HWND> created;
  std::promise<void> release;
  bool applied = false;
  std::thread owner([&] {
    HWND own = createWindow(WS_OVERLAPPEDWINDOW, 150, 150, 300, 200);
    created.set_value(own);
    release.get_future().wait();  // hung: no messages handled until released
    applied = pumpUntil([&] { return clientSize(own) == std::pair(320L, 240L); });
    DestroyWindow(own);
  });
  const HWND hung = created.get_future().get();
  InputInjector injector;
  auto resized = std::async(std::launch::async, [&] { return injector.resizeWindow(hung, 320, 240, true); });
  const bool returned = resized.wait_for(5s) == std::future_status::ready;
  release.set_value();
  owner.join();
  EXPECT_TRUE(returned) << "resizeWindow waited for the hung window";
  EXPECT_TRUE(resized.get());
  EXPECT_TRUE(applied);
}

}  // namespace
}  // namespace quorvane::host
