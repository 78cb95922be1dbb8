#include "input/InputInjector.h"

#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <vector>

#include <windows.h>
#include <windowsx.h>

#include <gtest/gtest.h>

#include "support/InputRecorder.h"

namespace quorvane::host {
namespace {

using namespace std::chrono_literals;

using namespace quorvane::test;

std::pair<LONG, LONG> clientSize(HWND w) {
  RECT r{};
  GetClientRect(w, &r);
  return {r.right, r.bottom};
}

// A frameless window in the foreground with the keyboard focus, so that synthesised pointer
// and key input reaches it. Its sides divide 65535 (257 x 255 = 65535): a position k * 255
// across it is exactly pixel k, which any other divisor than 65535 misses by one.
class InjectionTest : public ::testing::Test {
 protected:
  static constexpr int kLeft = 200, kTop = 150, kWidth = 257, kHeight = 255;

  void SetUp() override {
    gSeen.clear();
    window = createRecordingWindow(WS_POPUP, kLeft, kTop, kWidth, kHeight);
    ASSERT_NE(window, nullptr);
    SetForegroundWindow(window);
    SetFocus(window);
    ASSERT_TRUE(pumpUntil([&] { return GetForegroundWindow() == window && GetFocus() == window; }));
  }
  void TearDown() override {
    DestroyWindow(window);
    pumpUntil([] { return true; });
  }
  void click(HWND target, uint16_t x, uint16_t y, uint8_t button) {
    injector.handleEventFor(target, {1, 2, x, y, button, 0, 0});
    injector.handleEventFor(target, {1, 3, x, y, button, 0, 0});
  }

  HWND window = nullptr;
  InputInjector injector;
};

// Each button at another position (the corner, the middle, the last column, the last row),
// the wheel, a key with modifiers from an injector destroyed while it holds Shift, an
// extended key and characters.
TEST_F(InjectionTest, InputArrivesInOrderOnTheMappedPixels) {
  const std::pair<uint16_t, uint16_t> at[] = {
      {0, 0}, {32768, 32768}, {256 * 255, 254 * 257}, {255 * 255, 100 * 257}, {32768, 32768}};
  for (uint8_t button = 0; button <= 4; ++button) click(window, at[button].first, at[button].second, button);
  injector.handleEvent({1, 4, 32768, 32768, 0, 0, 120});
  injector.handleEvent({1, 4, 32768, 32768, 0, 0, -120});
  {
    InputInjector holder;
    holder.handleEvent({2, 1, 0, 0, 'A', 0x03, 0});
    holder.handleEvent({2, 2, 0, 0, 'A', 0x01, 0});
  }
  injector.handleEvent({2, 1, 0, 0, VK_LEFT, 0, 0});
  injector.handleEvent({2, 2, 0, 0, VK_LEFT, 0, 0});
  injector.sendUnicodeChar(0x20AC);
  injector.handleEvent({2, 3, 0, 0, 0xE4, 0, 0});
  const int left = VK_LEFT | kExtended;
  const std::vector<std::pair<UINT, int>> expected = {
      {WM_LBUTTONDOWN, 0},    {WM_LBUTTONUP, 0},        {WM_RBUTTONDOWN, 0},  {WM_RBUTTONUP, 0},
      {WM_MBUTTONDOWN, 0},    {WM_MBUTTONUP, 0},        {WM_XBUTTONDOWN, 1},  {WM_XBUTTONUP, 1},
      {WM_XBUTTONDOWN, 2},    {WM_XBUTTONUP, 2},        {WM_MOUSEWHEEL, 120}, {WM_MOUSEWHEEL, -120},
      {WM_KEYDOWN, VK_SHIFT}, {WM_KEYDOWN, VK_CONTROL}, {WM_KEYDOWN, 'A'},    {WM_KEYUP, VK_CONTROL},
      {WM_KEYUP, 'A'},        {WM_KEYUP, VK_SHIFT},     {WM_KEYDOWN, left},   {WM_KEYUP, left},
      {WM_CHAR, 0x20AC},      {WM_CHAR, 0xE4}};
  ASSERT_TRUE(pumpUntil([&] { return gSeen.size() >= expected.size(); })) << gSeen.size() << " messages";
  ASSERT_EQ(gSeen.size(), expected.size());
  std::vector<std::pair<int, int>> points, pixels;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(std::pair(gSeen[i].message, gSeen[i].detail), expected[i]) << "message " << i;
    if (gSeen[i].x >= 0) points.emplace_back(gSeen[i].x, gSeen[i].y);
  }
  for (auto p : {std::pair{0, 0}, {128, 127}, {256, 254}, {255, 100}, {128, 127}})
    pixels.insert(pixels.end(), 2, p);
  EXPECT_EQ(points, pixels);
  EXPECT_EQ((GetAsyncKeyState(VK_SHIFT) | GetAsyncKeyState(VK_CONTROL)) & 0x8000, 0);
}

// Two threads aim clicks at two windows at once; each click must land on the window its
// own call named, because setting the target and injecting happen under one hold.
TEST_F(InjectionTest, ConcurrentCallersKeepTheirOwnTargets) {
  HWND other = createRecordingWindow(WS_POPUP, kLeft + kWidth + 50, kTop, kWidth, kHeight);
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
  for (const Seen& s : gSeen) {
    EXPECT_TRUE(s.window == (s.message <= WM_LBUTTONUP ? window : other) && s.x == 128 && s.y == 127);
  }
  DestroyWindow(other);
}

TEST(ResizeWindowTest, GivesTheRequestedClientSizeWithoutWaitingForAHungWindow) {
  InputInjector injector;
  HWND window = createRecordingWindow(WS_OVERLAPPEDWINDOW, 120, 80, 300, 200);
  HMENU menu = CreateMenu();  // its bar's height belongs to the frame, not to the client area
  ASSERT_TRUE(window && AppendMenuW(menu, MF_STRING, 1, L"File") && SetMenu(window, menu));
  pumpUntil([] { return true; });
  RECT r{};
  ASSERT_TRUE(injector.resizeWindow(window, 640, 480, true));
  EXPECT_EQ(clientSize(window), std::pair(640L, 480L));
  EXPECT_TRUE(GetWindowRect(window, &r) && r.left == 120 && r.top == 80);
  for (const auto& [w, h] : {std::pair{0u, 480u}, {640u, 0u}, {32768u, 480u}, {640u, 40000u}, {~0u, ~0u}}) {
    EXPECT_FALSE(injector.resizeWindow(window, w, h, true)) << w << "x" << h;
  }
  DestroyWindow(window);
  EXPECT_FALSE(injector.resizeWindow(window, 640, 480, true));
  EXPECT_FALSE(injector.resizeWindow(nullptr, 640, 480, true));

  // A window whose thread has stopped handling messages: the resize must not wait for it,
  // and the window takes the new size once its thread runs again.
  std::promise<HWND> created;
  std::promise<void> release;
  bool applied = false;
  std::thread owner([&] {
    HWND own = createRecordingWindow(WS_OVERLAPPEDWINDOW, 150, 150, 300, 200);
    created.set_value(own);
    release.get_future().wait();  // hung: no messages handled until released
    applied = pumpUntil([&] { return clientSize(own) == std::pair(320L, 240L); });
    DestroyWindow(own);
  });
  const HWND hung = created.get_future().get();
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
