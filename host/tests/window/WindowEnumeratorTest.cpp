#include "capture/WindowEnumerator.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <thread>

#include <nlohmann/json.hpp>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include "TestIcon.h"
#include "capture/WindowIconCache.h"
#include "protocol/WindowInfoJson.h"

namespace quorvane::host {
namespace {

using protocol::WindowInfo;
using Bytes = std::vector<uint8_t>;

uint32_t idOf(HWND hwnd) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)); }
// A handle from its 32-bit value, sign-extended as the system does.
template <typename Handle>
Handle handleOf(uint32_t value) {
  return static_cast<Handle>(LongToHandle(static_cast<LONG>(value)));
}

// Claims a longer title than the window has.
LRESULT CALLBACK overReportingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = DefWindowProcW(hwnd, message, wParam, lParam);
  return message == WM_GETTEXTLENGTH ? result + 8 : result;
}

// The RGBA pixels of a base64 PNG (which must end with its IEND chunk), with its size.
Bytes decodeIcon(const std::string& base64, int& width, int& height) {
  DWORD size = static_cast<DWORD>(base64.size());
  Bytes png(size);
  if (!CryptStringToBinaryA(base64.c_str(), size, CRYPT_STRING_BASE64, png.data(), &size, nullptr, nullptr))
    return {};
  png.resize(size);
  const Bytes iend = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  if (png.size() < 8 || !std::equal(iend.begin(), iend.end(), png.end() - 8)) return {};
  int channels = 0;
  stbi_uc* pixels =
      stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &width, &height, &channels, 4);
  Bytes rgba(pixels, pixels + (pixels ? size_t(width) * height * 4 : 0));
  stbi_image_free(pixels);
  return rgba;
}

// The windows, classes and icons go with the process: under Wine without a window manager,
// taking down a mapped captioned window waits two seconds for a manager that never answers.
class WindowEnumeratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // 32 x 32 with alpha: the left half opaque red, the right half transparent; 24 x 16 without
    // any alpha: plain blue, opaque by its mask.
    const HICON icons[] = {
        makeTestIcon(
            32, 32, [](int x, int) { return x < 16 ? 0xFFFF0000u : 0u; }, [](int x, int) { return x >= 16; }),
        makeTestIcon(
            24, 16, [](int, int) { return 0x000000FFu; }, [](int, int) { return false; })};
    const wchar_t* classes[] = {L"QhEnumAlphaIcon",         L"QhEnumMaskIcon", L"QhEnumPlain",
                                L"Xaml_WindowedPopupClass", L"PROGMAN",        L"QhEnumOverReport"};
    for (size_t i = 0; i < std::size(classes); ++i) {
      WNDCLASSEXW wc{};
      wc.cbSize = sizeof(wc);
      wc.lpfnWndProc = i == 5 ? overReportingProc : DefWindowProcW;
      wc.hInstance = GetModuleHandleW(nullptr);
      wc.hIcon = i < 2 ? icons[i] : nullptr;
      wc.lpszClassName = classes[i];
      ASSERT_NE(RegisterClassExW(&wc), 0) << GetLastError();
    }
    for (const wchar_t* title : {L"qh-enum sort B", L"qh-enum sort a", L"qh-enum sort A", L"qh-enum sort AB",
                                 L"qh-enum sort \u00e9t\u00e9", L"qh-enum lone \xD800 surrogate"}) {
      create(L"QhEnumPlain", title, kOverlapped);
    }
    create(L"QhEnumAlphaIcon", L"qh-enum alpha icon", kOverlapped);
    create(L"QhEnumMaskIcon", L"qh-enum mask icon", kOverlapped);
    create(L"QhEnumOverReport", L"qh-enum over-reported", kOverlapped);
    windows = WindowEnumerator::enumerateWindows();
  }
  // A size x size window at (10, 20).
  static HWND create(const wchar_t* cls, const wchar_t* title, DWORD style, DWORD exStyle = 0,
                     int size = 200) {
    HWND hwnd = CreateWindowExW(exStyle, cls, title, style, 10, 20, size, size, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(hwnd, nullptr);
    return hwnd;
  }
  static const WindowInfo* find(const std::string& title) {
    const auto it =
        std::find_if(windows.begin(), windows.end(), [&](const WindowInfo& w) { return w.title == title; });
    return it == windows.end() ? nullptr : &*it;
  }

  static constexpr DWORD kOverlapped = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
  static inline std::vector<WindowInfo> windows;
};

TEST_F(WindowEnumeratorTest, ListsOnlyWindowsSomebodyWouldStream) {
  const DWORD popup = WS_POPUP | WS_VISIBLE;
  struct Case {
    const wchar_t* cls;
    const wchar_t* title;
    DWORD style, exStyle;
    int size;
    bool listed;
  };
  for (const Case& c :
       {Case{L"QhEnumPlain", L"tool", kOverlapped, WS_EX_TOOLWINDOW | WS_EX_APPWINDOW, 100, false},
        Case{L"QhEnumPlain", L"hidden", WS_OVERLAPPEDWINDOW, 0, 100, false},
        Case{L"QhEnumPlain", L"", kOverlapped, 0, 100, false},
        Case{L"QhEnumPlain", L"Program Manager", kOverlapped, 0, 100, false},
        Case{L"Xaml_WindowedPopupClass", L"excluded class", kOverlapped, 0, 100, false},
        Case{L"QhEnumPlain", L"bare popup", popup, 0, 100, false},
        Case{L"QhEnumPlain", L"zero size", popup | WS_BORDER, 0, 0, false},
        Case{L"PROGMAN", L"upper-case class", kOverlapped, 0, 100, true},
        Case{L"QhEnumPlain", L"border only", popup | WS_BORDER, 0, 100, true},
        Case{L"QhEnumPlain", L"app popup", popup, WS_EX_APPWINDOW, 100, true}}) {
    const uint32_t id = idOf(create(c.cls, c.title, c.style, c.exStyle, c.size));
    const auto all = WindowEnumerator::enumerateWindows();
    EXPECT_EQ(std::any_of(all.begin(), all.end(), [&](const WindowInfo& w) { return w.id == id; }), c.listed)
        << c.title;
  }
  // A window empty in one direction only is as empty as one of 0 x 0.
  for (const auto& [width, height] : {std::pair{0, 100}, std::pair{100, 0}}) {
    HWND hwnd = CreateWindowExW(0, L"QhEnumPlain", L"one side empty", popup | WS_BORDER, 10, 20, width,
                                height, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    RECT rect{};
    ASSERT_TRUE(GetWindowRect(hwnd, &rect));
    ASSERT_EQ(std::make_pair(int{rect.right - rect.left}, int{rect.bottom - rect.top}),
              std::make_pair(width, height));
    const auto all = WindowEnumerator::enumerateWindows();
    EXPECT_FALSE(std::any_of(all.begin(), all.end(), [&](const WindowInfo& w) { return w.id == idOf(hwnd); }))
        << width << " x " << height;
  }
}

// Titles are read without a message to the window's thread: a window of this process whose thread
// waits and pumps nothing (as the control window's thread does while the host shuts down) is
// listed, with its title, and does not hold up the list.
TEST_F(WindowEnumeratorTest, AWindowWhoseThreadWaitsIsListedWithoutWaitingForIt) {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::promise<HWND> created;
  std::thread owner([&] {
    created.set_value(
        create(L"QhEnumPlain", L"qh-enum waiting thread", WS_POPUP | WS_VISIBLE, WS_EX_APPWINDOW));
    WaitForSingleObject(release, INFINITE);
    MSG message;  // from here on it answers, until the test is done with it
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  });
  const HWND hwnd = created.get_future().get();
  auto listing = std::async(std::launch::async, [] { return WindowEnumerator::enumerateWindows(); });
  const bool listed = listing.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  SetEvent(release);
  // A list that waits for its windows' threads also waits for this one, whose windows the suite
  // made: answer them until it is done.
  while (listing.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  const auto all = listing.get();
  PostMessageW(hwnd, WM_QUIT, 0, 0);
  owner.join();
  CloseHandle(release);
  ASSERT_TRUE(listed) << "the list waited for a thread that pumps no messages";
  const auto it =
      std::find_if(all.begin(), all.end(), [&](const WindowInfo& w) { return w.id == idOf(hwnd); });
  ASSERT_NE(it, all.end());
  EXPECT_EQ(it->title, "qh-enum waiting thread");
}

// Titles in valid UTF-8, cut at what was copied, sorted byte-wise; class, process, size, state, and
// no icon where neither window, class nor executable has one.
TEST_F(WindowEnumeratorTest, DescribesWindowsWithExactValidUtf8TitlesSortedByteWise) {
  const WindowInfo* info = find("qh-enum sort A");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(std::vector<int64_t>({info->width, info->height, info->isVisible, info->isMinimized,
                                  info->isMaximized, info->iconBase64.empty()}),
            std::vector<int64_t>({200, 200, true, false, false, true}));
  EXPECT_EQ(info->className + " " + info->processName, "QhEnumPlain window_enumerator_test.exe");
  EXPECT_TRUE(std::is_sorted(windows.begin(), windows.end(),
                             [](const WindowInfo& a, const WindowInfo& b) { return a.title < b.title; }));
  std::vector<std::string> ours;
  for (const auto& info : windows) {
    if (info.title.rfind("qh-enum sort ", 0) == 0) ours.push_back(info.title.substr(13));
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"A", "AB", "B", "a", "\xC3\xA9t\xC3\xA9"}));
  EXPECT_NE(find("qh-enum over-reported"), nullptr) << "only the real text is kept";
  EXPECT_NE(find("qh-enum lone \xEF\xBF\xBD surrogate"), nullptr);
  EXPECT_EQ(WindowEnumerator::wideToUtf8(L"\xDC00x\u4e2d\xD83D\xDE00\xD800"),
            "\xEF\xBF\xBDx\xE4\xB8\xAD\xF0\x9F\x98\x80\xEF\xBF\xBD");
  EXPECT_EQ(WindowEnumerator::wideToUtf8(L"\xD800\xD800\xDC00"), "\xEF\xBF\xBD\xF0\x90\x80\x80");
}

TEST_F(WindowEnumeratorTest, ClassIconsBecomePngWithTheirTransparency) {
  struct Case {
    const char* title;
    int width, height;
    Bytes left, right;  // RGBA of the left and right halves; alpha 0: any colour
  };
  for (const Case& c : {Case{"qh-enum alpha icon", 32, 32, {255, 0, 0, 255}, {0, 0, 0, 0}},
                        Case{"qh-enum mask icon", 24, 16, {0, 0, 255, 255}, {0, 0, 255, 255}}}) {
    SCOPED_TRACE(c.title);
    const WindowInfo* info = find(c.title);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->iconBase64.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
    int width = 0, height = 0;
    const Bytes rgba = decodeIcon(info->iconBase64, width, height);
    ASSERT_EQ(std::make_pair(width, height), std::make_pair(c.width, c.height));
    for (int i = 0; i < width * height; ++i) {
      const Bytes& want = i % width < width / 2 ? c.left : c.right;
      Bytes got(&rgba[size_t(i) * 4], &rgba[size_t(i) * 4] + 4);
      if (want[3] == 0) got = {0, 0, 0, got[3]};
      ASSERT_EQ(got, want) << "pixel " << i % width << "," << i / width;
    }
  }
}

// The listed windows of this process: the other tests of the run share its desktop, and their
// windows come and go between two lists.
std::vector<WindowInfo> ownWindows(std::vector<WindowInfo> windows) {
  windows.erase(std::remove_if(windows.begin(), windows.end(),
                               [](const WindowInfo& w) {
                                 DWORD process = 0;
                                 GetWindowThreadProcessId(handleOf<HWND>(w.id), &process);
                                 return process != GetCurrentProcessId();
                               }),
                windows.end());
  return windows;
}

// Listing again gives the same list, with the kept icons, until a window shows another icon or is
// no longer listed; only the listed windows' icons are kept.
TEST_F(WindowEnumeratorTest, RepeatedListsKeepIconsOfListedWindowsUntilTheyChange) {
  const auto first = ownWindows(WindowEnumerator::enumerateWindows());
  const auto again = ownWindows(WindowEnumerator::enumerateWindows());
  EXPECT_EQ(nlohmann::json(again), nlohmann::json(first));
  EXPECT_EQ(nlohmann::json(ownWindows(WindowEnumerator::enumerateWindows())), nlohmann::json(first));
  size_t icons = 0;
  for (const WindowInfo& w : again) {
    EXPECT_EQ(w.iconBase64, WindowEnumerator::getWindowIconBase64(handleOf<HWND>(w.id))) << w.title;
    icons += !w.iconBase64.empty();
  }
  EXPECT_GE(icons, 2u);

  HWND hwnd = create(L"QhEnumAlphaIcon", L"qh-enum changing icon", WS_POPUP | WS_VISIBLE, WS_EX_APPWINDOW);
  // The size of the window's listed icon.
  const auto iconSize = [hwnd] {
    int width = 0, height = 0;
    for (const WindowInfo& w : WindowEnumerator::enumerateWindows()) {
      if (w.id == idOf(hwnd)) decodeIcon(w.iconBase64, width, height);
    }
    return std::make_pair(width, height);
  };
  EXPECT_EQ(iconSize(), std::make_pair(32, 32)) << "class icon";
  const HICON other = makeTestIcon(
      16, 8, [](int, int) { return 0xFF00FF00u; }, [](int, int) { return false; });
  SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(other));
  EXPECT_EQ(iconSize(), std::make_pair(16, 8)) << "window icon";
  SendMessageW(hwnd, WM_SETICON, ICON_BIG, 0);
  EXPECT_EQ(iconSize(), std::make_pair(32, 32)) << "class icon again";

  const size_t listed = WindowEnumerator::enumerateWindows().size();
  EXPECT_EQ(WindowEnumerator::cachedIconCount(), listed);
  // Without a title it is no longer listed, like a closed window (whose closing would wait two
  // seconds for the missing window manager).
  SetWindowTextW(hwnd, L"");
  const auto after = WindowEnumerator::enumerateWindows();
  EXPECT_FALSE(
      std::any_of(after.begin(), after.end(), [&](const WindowInfo& w) { return w.id == idOf(hwnd); }));
  EXPECT_EQ(WindowEnumerator::cachedIconCount(), after.size());
}

// Converts once per window and icon (or, for an executable's icon, per process); a failed
// conversion is tried again.
TEST(WindowIconCacheTest, ConvertsOnlyNewOrChangedIconsAndForgetsUnlistedWindows) {
  WindowIconCache cache;
  int conversions = 0;
  const auto gives = [&conversions](const std::optional<std::string>& text) {
    return [&conversions, text] {
      ++conversions;
      return text;
    };
  };
  const auto window = handleOf<HWND>;
  const auto icon = handleOf<HICON>;
  EXPECT_EQ(cache.iconBase64({window(1), icon(10), 7}, gives("1-10")), "1-10");
  EXPECT_EQ(cache.iconBase64({window(1), icon(10), 7}, gives("wrong")), "1-10");
  EXPECT_EQ(cache.iconBase64({window(2), icon(10), 7}, gives("2-10")), "2-10");
  EXPECT_EQ(cache.iconBase64({window(1), icon(20), 7}, gives("1-20")), "1-20");
  EXPECT_EQ(cache.iconBase64({window(2), nullptr, 7}, gives("")), "");
  EXPECT_EQ(cache.iconBase64({window(2), nullptr, 7}, gives("wrong")), "");
  EXPECT_EQ(cache.iconBase64({window(2), nullptr, 8}, gives("2-exe")), "2-exe");
  EXPECT_EQ(cache.iconBase64({window(3), icon(10), 7}, gives(std::nullopt)), "");
  EXPECT_EQ(cache.iconBase64({window(3), icon(10), 7}, gives("3-10")), "3-10");
  EXPECT_EQ(conversions, 7);
  EXPECT_EQ(cache.size(), 3u);

  cache.retainOnly({window(1), window(3), window(4)});
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.iconBase64({window(1), icon(20), 7}, gives("wrong")), "1-20");
  EXPECT_EQ(cache.iconBase64({window(2), nullptr, 8}, gives("2-new")), "2-new");
}

}  // namespace
}  // namespace quorvane::host
