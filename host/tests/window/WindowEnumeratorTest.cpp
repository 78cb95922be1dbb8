#include "capture/WindowEnumerator.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include "TestIcon.h"

namespace quorvane::host {
namespace {

using protocol::WindowInfo;
using Bytes = std::vector<uint8_t>;

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
    registerClass(L"QhEnumAlphaIcon", DefWindowProcW,
                  makeTestIcon(
                      32, 32, [](int x, int) { return x < 16 ? 0xFFFF0000u : 0u; },
                      [](int x, int) { return x >= 16; }));
    registerClass(L"QhEnumMaskIcon", DefWindowProcW,
                  makeTestIcon(
                      24, 16, [](int, int) { return 0x000000FFu; }, [](int, int) { return false; }));
    for (const wchar_t* name : {L"QhEnumPlain", L"Xaml_WindowedPopupClass", L"PROGMAN"}) {
      registerClass(name, DefWindowProcW, nullptr);
    }
    registerClass(L"QhEnumOverReport", overReportingProc, nullptr);
    const DWORD overlapped = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    plain = create(L"QhEnumPlain", L"qh-enum plain", overlapped, 0, 40, 60, 300, 200);
    for (const wchar_t* title : {L"qh-enum sort B", L"qh-enum sort a", L"qh-enum sort A", L"qh-enum sort AB",
                                 L"qh-enum sort \u00e9t\u00e9"}) {
      create(L"QhEnumPlain", title, overlapped);
    }
    create(L"QhEnumAlphaIcon", L"qh-enum alpha icon", overlapped);
    create(L"QhEnumMaskIcon", L"qh-enum mask icon", overlapped);
    create(L"QhEnumOverReport", L"qh-enum over-reported", overlapped);
    create(L"QhEnumPlain", L"qh-enum lone \xD800 surrogate", overlapped);
    windows = WindowEnumerator::enumerateWindows();
  }

  static void registerClass(const wchar_t* name, WNDPROC proc, HICON icon) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = icon;
    wc.lpszClassName = name;
    ASSERT_NE(RegisterClassExW(&wc), 0) << GetLastError();
  }
  static HWND create(const wchar_t* cls, const wchar_t* title, DWORD style, DWORD exStyle = 0, int x = 100,
                     int y = 100, int width = 320, int height = 240) {
    HWND hwnd = CreateWindowExW(exStyle, cls, title, style, x, y, width, height, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    EXPECT_NE(hwnd, nullptr);
    return hwnd;
  }
  static const WindowInfo* find(const std::string& title) {
    for (const auto& info : windows) {
      if (info.title == title) return &info;
    }
    return nullptr;
  }
  static bool listed(HWND hwnd) {
    return std::any_of(windows.begin(), windows.end(), [&](const WindowInfo& info) {
      return info.id == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd));
    });
  }

  static inline HWND plain = nullptr;
  static inline std::vector<WindowInfo> windows;
};

TEST_F(WindowEnumeratorTest, DescribesACaptionedWindow) {
  const WindowInfo* info = find("qh-enum plain");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->id, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(plain)));
  EXPECT_EQ(info->className, "QhEnumPlain");
  RECT rect{};
  ASSERT_TRUE(GetWindowRect(plain, &rect));
  EXPECT_EQ(std::vector<int>({info->x, info->y, info->width, info->height}),
            std::vector<int>({rect.left, rect.top, 300, 200}));
  EXPECT_EQ(std::vector<bool>({info->isVisible, info->isMinimized, info->isMaximized}),
            std::vector<bool>({true, false, false}));
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring exe(path);
  const std::string expected = WindowEnumerator::wideToUtf8(exe.substr(exe.find_last_of(L"\\/") + 1));
  EXPECT_EQ(_stricmp(info->processName.c_str(), expected.c_str()), 0) << info->processName;
  EXPECT_TRUE(info->iconBase64.empty());  // no window, class or executable icon
}

TEST_F(WindowEnumeratorTest, ListsOnlyWindowsSomebodyWouldStream) {
  const DWORD overlapped = WS_OVERLAPPEDWINDOW | WS_VISIBLE, popup = WS_POPUP | WS_VISIBLE;
  struct Case {
    const wchar_t* cls;
    const wchar_t* title;
    DWORD style, exStyle;
    int size;
    bool listed;
  };
  std::vector<std::pair<HWND, bool>> created;
  for (const Case& c :
       {Case{L"QhEnumPlain", L"tool", overlapped, WS_EX_TOOLWINDOW | WS_EX_APPWINDOW, 100, false},
        Case{L"QhEnumPlain", L"hidden", WS_OVERLAPPEDWINDOW, 0, 100, false},
        Case{L"QhEnumPlain", L"", overlapped, 0, 100, false},
        Case{L"QhEnumPlain", L"Program Manager", overlapped, 0, 100, false},
        Case{L"Xaml_WindowedPopupClass", L"excluded class", overlapped, 0, 100, false},
        Case{L"QhEnumPlain", L"bare popup", popup, 0, 100, false},
        Case{L"QhEnumPlain", L"zero size", popup | WS_BORDER, 0, 0, false},
        Case{L"PROGMAN", L"upper-case class", overlapped, 0, 100, true},
        Case{L"QhEnumPlain", L"border only", popup | WS_BORDER, 0, 100, true},
        Case{L"QhEnumPlain", L"app popup", popup, WS_EX_APPWINDOW, 100, true}}) {
    created.emplace_back(create(c.cls, c.title, c.style, c.exStyle, 10, 10, c.size, c.size), c.listed);
  }
  windows = WindowEnumerator::enumerateWindows();
  for (size_t i = 0; i < created.size(); ++i) EXPECT_EQ(listed(created[i].first), created[i].second) << i;
}

TEST_F(WindowEnumeratorTest, TitlesAreExactValidUtf8SortedByteWise) {
  EXPECT_TRUE(std::is_sorted(windows.begin(), windows.end(),
                             [](const WindowInfo& a, const WindowInfo& b) { return a.title < b.title; }));
  std::vector<std::string> ours;
  for (const auto& info : windows) {
    if (info.title.rfind("qh-enum sort ", 0) == 0) ours.push_back(info.title.substr(13));
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"A", "AB", "B", "a", "\xC3\xA9t\xC3\xA9"}));
  EXPECT_NE(find("qh-enum over-reported"), nullptr) << "only the real text is kept";
  EXPECT_NE(find("qh-enum lone \xEF\xBF\xBD surrogate"), nullptr);
  EXPECT_EQ(WindowEnumerator::wideToUtf8(L""), "");
  EXPECT_EQ(WindowEnumerator::wideToUtf8(L"A\u00e9\u4e2d\xD83D\xDE00"),
            "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(WindowEnumerator::wideToUtf8(L"\xDC00x\xD800"), "\xEF\xBF\xBDx\xEF\xBF\xBD");
  EXPECT_EQ(WindowEnumerator::wideToUtf8(L"\xD800\xD800\xDC00"), "\xEF\xBF\xBD\xF0\x90\x80\x80");
}

TEST_F(WindowEnumeratorTest, ClassIconsBecomePngWithTheirTransparency) {
  struct Case {
    const char* title;
    int width, height;
    std::function<Bytes(int, int)> rgba;
  };
  for (const Case& c : {Case{"qh-enum alpha icon", 32, 32,
                             [](int x, int) {
                               return x < 16 ? Bytes{255, 0, 0, 255} : Bytes{0, 0, 0, 0};
                             }},
                        Case{"qh-enum mask icon", 24, 16, [](int, int) {
                               return Bytes{0, 0, 255, 255};
                             }}}) {
    SCOPED_TRACE(c.title);
    const WindowInfo* info = find(c.title);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->iconBase64.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
    int width = 0, height = 0;
    const Bytes rgba = decodeIcon(info->iconBase64, width, height);
    ASSERT_EQ(std::make_pair(width, height), std::make_pair(c.width, c.height));
    for (int i = 0; i < width * height; ++i) {
      Bytes want = c.rgba(i % width, i / width), got(&rgba[size_t(i) * 4], &rgba[size_t(i) * 4] + 4);
      if (want[3] == 0) got = {0, 0, 0, got[3]};  // a transparent pixel's colour does not matter
      ASSERT_EQ(got, want) << "pixel " << i % width << "," << i / width;
    }
  }
}

}  // namespace
}  // namespace quorvane::host
