#include "capture/WindowEnumerator.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#include <stb_image.h>

#include "support/LogCapture.h"
#include "TestIcon.h"

using quorvane::test::LogCapture;

namespace quorvane::host {
namespace {

using protocol::WindowInfo;

constexpr wchar_t kPlainClass[] = L"QhEnumPlain";
constexpr wchar_t kAlphaIconClass[] = L"QhEnumAlphaIcon";
constexpr wchar_t kMaskIconClass[] = L"QhEnumMaskIcon";
constexpr wchar_t kOverReportClass[] = L"QhEnumOverReport";
constexpr wchar_t kExcludedClass[] = L"Xaml_WindowedPopupClass";
constexpr wchar_t kUpperCaseClass[] = L"PROGMAN";

// Claims a longer title than the window has.
LRESULT CALLBACK overReportingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = DefWindowProcW(hwnd, message, wParam, lParam);
  return message == WM_GETTEXTLENGTH ? result + 8 : result;
}

std::vector<uint8_t> fromBase64(const std::string& text) {
  DWORD size = static_cast<DWORD>(text.size());
  std::vector<uint8_t> data(size);
  if (!CryptStringToBinaryA(text.c_str(), size, CRYPT_STRING_BASE64, data.data(), &size, nullptr, nullptr)) {
    return {};
  }
  data.resize(size);
  return data;
}

struct DecodedIcon {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
  const uint8_t* at(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
};

DecodedIcon decodePng(const std::vector<uint8_t>& png) {
  DecodedIcon icon;
  int channels = 0;
  stbi_uc* pixels = stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &icon.width, &icon.height,
                                          &channels, 4);
  if (pixels) {
    icon.rgba.assign(pixels, pixels + static_cast<size_t>(icon.width) * icon.height * 4);
    stbi_image_free(pixels);
  }
  return icon;
}

// The windows, classes and icons go with the process: under Wine without a window manager,
// taking down a mapped captioned window waits two seconds for a manager that never answers.
class WindowEnumeratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // 32 x 32 with alpha: the left half opaque red, the right half transparent.
    registerClass(kAlphaIconClass, DefWindowProcW,
                  makeTestIcon(
                      32, 32, [](int x, int) { return x < 16 ? 0xFFFF0000u : 0u; },
                      [](int x, int) { return x >= 16; }));
    // 24 x 16 without any alpha: plain blue, opaque by its mask.
    registerClass(kMaskIconClass, DefWindowProcW,
                  makeTestIcon(
                      24, 16, [](int, int) { return 0x000000FFu; }, [](int, int) { return false; }));
    registerClass(kPlainClass, DefWindowProcW, nullptr);
    registerClass(kOverReportClass, overReportingProc, nullptr);
    registerClass(kExcludedClass, DefWindowProcW, nullptr);
    registerClass(kUpperCaseClass, DefWindowProcW, nullptr);

    const DWORD overlapped = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    plain = create(kPlainClass, L"qh-enum plain", overlapped, 0, 40, 60, 300, 200);
    for (const wchar_t* title : {L"qh-enum sort B", L"qh-enum sort a", L"qh-enum sort A", L"qh-enum sort AB",
                                 L"qh-enum sort \u00e9t\u00e9"}) {
      create(kPlainClass, title, overlapped);
    }
    create(kPlainClass, L"qh-enum tool", overlapped, WS_EX_TOOLWINDOW | WS_EX_APPWINDOW);
    untitled = create(kPlainClass, L"", overlapped);
    create(kPlainClass, L"qh-enum hidden", WS_OVERLAPPEDWINDOW);
    create(kExcludedClass, L"qh-enum excluded class", overlapped);
    programManager = create(kPlainClass, L"Program Manager", overlapped);
    create(kUpperCaseClass, L"qh-enum upper-case class", overlapped);
    create(kPlainClass, L"qh-enum border only", WS_POPUP | WS_BORDER | WS_VISIBLE);
    create(kPlainClass, L"qh-enum bare popup", WS_POPUP | WS_VISIBLE);
    create(kPlainClass, L"qh-enum app popup", WS_POPUP | WS_VISIBLE, WS_EX_APPWINDOW);
    create(kPlainClass, L"qh-enum zero size", WS_POPUP | WS_BORDER | WS_VISIBLE, 0, 10, 10, 0, 0);
    create(kAlphaIconClass, L"qh-enum alpha icon", overlapped);
    create(kMaskIconClass, L"qh-enum mask icon", overlapped);
    create(kOverReportClass, L"qh-enum over-reported", overlapped);
    create(kPlainClass, L"qh-enum lone \xD800 surrogate", overlapped);

    LogCapture log;
    windows = WindowEnumerator::enumerateWindows();
    logText = log.text();
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

  static const WindowInfo* find(const std::string& title, HWND hwnd = nullptr) {
    for (const auto& info : windows) {
      if (hwnd ? info.id == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd)) : info.title == title) {
        return &info;
      }
    }
    return nullptr;
  }

  static inline HWND plain = nullptr;
  static inline HWND untitled = nullptr;
  static inline HWND programManager = nullptr;
  static inline std::vector<WindowInfo> windows;
  static inline std::string logText;
};

TEST_F(WindowEnumeratorTest, DescribesACaptionedWindow) {
  const WindowInfo* info = find("qh-enum plain");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->id, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(plain)));
  EXPECT_EQ(info->className, "QhEnumPlain");
  RECT rect{};
  ASSERT_TRUE(GetWindowRect(plain, &rect));
  EXPECT_EQ(info->x, rect.left);
  EXPECT_EQ(info->y, rect.top);
  EXPECT_EQ(info->width, 300);
  EXPECT_EQ(info->height, 200);
  EXPECT_TRUE(info->isVisible);
  EXPECT_FALSE(info->isMinimized);
  EXPECT_FALSE(info->isMaximized);

  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring exe(path);
  const std::string expected = WindowEnumerator::wideToUtf8(exe.substr(exe.find_last_of(L"\\/") + 1));
  EXPECT_EQ(_stricmp(info->processName.c_str(), expected.c_str()), 0) << info->processName;

  // No window, class or executable icon: empty, and nothing logged for it.
  EXPECT_TRUE(info->iconBase64.empty());
  EXPECT_EQ(logText.find("getWindowIconBase64"), std::string::npos) << logText;
}

TEST_F(WindowEnumeratorTest, FiltersWindowsNobodyWouldStream) {
  for (const char* title : {"qh-enum tool", "qh-enum hidden", "qh-enum excluded class", "qh-enum bare popup",
                            "qh-enum zero size"}) {
    EXPECT_EQ(find(title), nullptr) << title;
  }
  EXPECT_EQ(find("", untitled), nullptr);
  EXPECT_EQ(find("", programManager), nullptr);
  for (const char* title : {"qh-enum upper-case class", "qh-enum border only", "qh-enum app popup"}) {
    EXPECT_NE(find(title), nullptr) << title;
  }
}

TEST_F(WindowEnumeratorTest, SortsByUtf8Bytes) {
  EXPECT_TRUE(std::is_sorted(windows.begin(), windows.end(),
                             [](const WindowInfo& a, const WindowInfo& b) { return a.title < b.title; }));
  std::vector<std::string> ours;
  for (const auto& info : windows) {
    if (info.title.rfind("qh-enum sort ", 0) == 0) ours.push_back(info.title.substr(13));
  }
  EXPECT_EQ(ours, (std::vector<std::string>{"A", "AB", "B", "a", "\xC3\xA9t\xC3\xA9"}));
}

TEST_F(WindowEnumeratorTest, TitlesAreExactValidUtf8) {
  // The window over-reports its title length; only the real text is kept.
  const WindowInfo* over = find("qh-enum over-reported");
  ASSERT_NE(over, nullptr);
  EXPECT_EQ(over->title.find('\0'), std::string::npos);

  ASSERT_NE(find("qh-enum lone \xEF\xBF\xBD surrogate"), nullptr);
  nlohmann::json list = nlohmann::json::array();
  for (const auto& info : windows) list.push_back({{"title", info.title}, {"processName", info.processName}});
  EXPECT_NO_THROW((void)list.dump());

  EXPECT_EQ(WindowEnumerator::wideToUtf8(L""), "");
  EXPECT_EQ(WindowEnumerator::wideToUtf8(L"A\u00e9\u4e2d\xD83D\xDE00"),
            "A\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
  EXPECT_EQ(WindowEnumerator::wideToUtf8(L"\xDC00x\xD800"), "\xEF\xBF\xBDx\xEF\xBF\xBD");
  EXPECT_EQ(WindowEnumerator::wideToUtf8(L"\xD800\xD800\xDC00"), "\xEF\xBF\xBD\xF0\x90\x80\x80");
}

TEST_F(WindowEnumeratorTest, ClassIconBecomesPng) {
  const WindowInfo* info = find("qh-enum alpha icon");
  ASSERT_NE(info, nullptr);
  ASSERT_FALSE(info->iconBase64.empty());
  EXPECT_EQ(info->iconBase64.find_first_of(std::string("\r\n\0", 3)), std::string::npos);
  // Exactly the PNG: it ends with its IEND chunk, no trailing bytes of the memory block.
  const std::vector<uint8_t> png = fromBase64(info->iconBase64);
  const std::vector<uint8_t> iend = {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
  ASSERT_GE(png.size(), iend.size());
  EXPECT_TRUE(std::equal(iend.begin(), iend.end(), png.end() - 8));
  const DecodedIcon icon = decodePng(png);
  ASSERT_EQ(icon.width, 32);
  ASSERT_EQ(icon.height, 32);
  for (auto [x, y] : {std::pair{0, 0}, std::pair{8, 20}, std::pair{15, 31}}) {
    EXPECT_EQ(std::vector<uint8_t>(icon.at(x, y), icon.at(x, y) + 4), (std::vector<uint8_t>{255, 0, 0, 255}));
  }
  EXPECT_EQ(icon.at(16, 0)[3], 0);
  EXPECT_EQ(icon.at(31, 31)[3], 0);
}

TEST_F(WindowEnumeratorTest, IconWithoutAlphaIsOpaque) {
  const WindowInfo* info = find("qh-enum mask icon");
  ASSERT_NE(info, nullptr);
  const DecodedIcon icon = decodePng(fromBase64(info->iconBase64));
  ASSERT_EQ(icon.width, 24);
  ASSERT_EQ(icon.height, 16);
  for (size_t i = 0; i < icon.rgba.size(); i += 4) {
    ASSERT_EQ(std::vector<uint8_t>(&icon.rgba[i], &icon.rgba[i] + 4), (std::vector<uint8_t>{0, 0, 255, 255}))
        << "pixel " << i / 4;
  }
}

}  // namespace
}  // namespace quorvane::host
