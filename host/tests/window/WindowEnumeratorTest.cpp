#include "capture/WindowEnumerator.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cwctype>
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

// 32 x 32 icon with alpha: the left half opaque red, the right half fully transparent.
HICON makeAlphaIcon() {
  return makeTestIcon(
      32, 32, [](int x, int) { return x < 16 ? 0xFFFF0000u : 0x00000000u; },
      [](int x, int) { return x >= 16; });
}

// 24 x 16 icon whose colour bitmap has no alpha at all: plain blue, opaque by its mask.
HICON makeMaskIcon() {
  return makeTestIcon(
      24, 16, [](int, int) { return 0x000000FFu; }, [](int, int) { return false; });
}

std::vector<uint8_t> fromBase64(const std::string& text) {
  DWORD size = 0;
  if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, nullptr,
                            &size, nullptr, nullptr)) {
    return {};
  }
  std::vector<uint8_t> data(size);
  CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64, data.data(), &size,
                       nullptr, nullptr);
  data.resize(size);
  return data;
}

struct DecodedIcon {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;
  const uint8_t* at(int x, int y) const { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
};

DecodedIcon decodePng(const std::string& base64) {
  DecodedIcon icon;
  const std::vector<uint8_t> png = fromBase64(base64);
  int channels = 0;
  stbi_uc* pixels = stbi_load_from_memory(png.data(), static_cast<int>(png.size()), &icon.width, &icon.height,
                                          &channels, 4);
  if (pixels) {
    icon.rgba.assign(pixels, pixels + static_cast<size_t>(icon.width) * icon.height * 4);
    stbi_image_free(pixels);
  }
  return icon;
}

class WindowEnumeratorTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    alphaIcon = makeAlphaIcon();
    maskIcon = makeMaskIcon();
    registerClass(kPlainClass, DefWindowProcW, nullptr);
    registerClass(kAlphaIconClass, DefWindowProcW, alphaIcon);
    registerClass(kMaskIconClass, DefWindowProcW, maskIcon);
    registerClass(kOverReportClass, overReportingProc, nullptr);
    registerClass(kExcludedClass, DefWindowProcW, nullptr);
    registerClass(kUpperCaseClass, DefWindowProcW, nullptr);

    const DWORD overlapped = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    plain = create(kPlainClass, L"qh-enum plain", overlapped, 0, 40, 60, 300, 200);
    create(kPlainClass, L"qh-enum sort B", overlapped);
    create(kPlainClass, L"qh-enum sort a", overlapped);
    create(kPlainClass, L"qh-enum sort A", overlapped);
    create(kPlainClass, L"qh-enum sort AB", overlapped);
    create(kPlainClass, L"qh-enum sort \u00e9t\u00e9", overlapped);
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

    log = new LogCapture;
    windows = new std::vector<WindowInfo>(WindowEnumerator::enumerateWindows());
    logText = new std::string(log->text());
    delete log;
    log = nullptr;
  }

  // The windows, classes and icons go with the process: under Wine without a window manager,
  // taking down a mapped captioned window waits two seconds for a manager that never answers.
  static void TearDownTestSuite() {
    delete windows;
    delete logText;
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
    for (const auto& info : *windows) {
      if (info.title == title) return &info;
    }
    return nullptr;
  }

  static const WindowInfo* find(HWND hwnd) {
    for (const auto& info : *windows) {
      if (info.id == static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd))) return &info;
    }
    return nullptr;
  }

  static inline HICON alphaIcon = nullptr;
  static inline HICON maskIcon = nullptr;
  static inline HWND plain = nullptr;
  static inline HWND untitled = nullptr;
  static inline HWND programManager = nullptr;
  static inline LogCapture* log = nullptr;
  static inline std::vector<WindowInfo>* windows = nullptr;
  static inline std::string* logText = nullptr;
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
  std::wstring exe(path);
  exe = exe.substr(exe.find_last_of(L"\\/") + 1);
  std::string expected = WindowEnumerator::wideToUtf8(exe);
  std::string actual = info->processName;
  std::transform(expected.begin(), expected.end(), expected.begin(), ::tolower);
  std::transform(actual.begin(), actual.end(), actual.begin(), ::tolower);
  EXPECT_EQ(actual, expected);

  // No window, class or executable icon: empty, and nothing logged for it.
  EXPECT_TRUE(info->iconBase64.empty());
  EXPECT_EQ(logText->find("getWindowIconBase64"), std::string::npos) << *logText;
}

TEST_F(WindowEnumeratorTest, FiltersWindowsNobodyWouldStream) {
  EXPECT_EQ(find("qh-enum tool"), nullptr);
  EXPECT_EQ(find(untitled), nullptr);
  EXPECT_EQ(find("qh-enum hidden"), nullptr);
  EXPECT_EQ(find("qh-enum excluded class"), nullptr);
  EXPECT_EQ(find(programManager), nullptr);
  EXPECT_EQ(find("qh-enum bare popup"), nullptr);
  EXPECT_EQ(find("qh-enum zero size"), nullptr);

  EXPECT_NE(find("qh-enum upper-case class"), nullptr);
  EXPECT_NE(find("qh-enum border only"), nullptr);
  EXPECT_NE(find("qh-enum app popup"), nullptr);
}

TEST_F(WindowEnumeratorTest, SortsByUtf8Bytes) {
  EXPECT_TRUE(std::is_sorted(windows->begin(), windows->end(),
                             [](const WindowInfo& a, const WindowInfo& b) { return a.title < b.title; }));
  std::vector<std::string> ours;
  for (const auto& info : *windows) {
    if (info.title.rfind("qh-enum sort ", 0) == 0) ours.push_back(info.title.substr(13));
  }
  const std::vector<std::string> expected = {"A", "AB", "B", "a", "\xC3\xA9t\xC3\xA9"};
  EXPECT_EQ(ours, expected);
}

TEST_F(WindowEnumeratorTest, TitlesAreExactValidUtf8) {
  // The window over-reports its title length; only the real text is kept.
  const WindowInfo* over = find("qh-enum over-reported");
  ASSERT_NE(over, nullptr);
  EXPECT_EQ(over->title.find('\0'), std::string::npos);

  const WindowInfo* lone = find("qh-enum lone \xEF\xBF\xBD surrogate");
  ASSERT_NE(lone, nullptr);
  nlohmann::json list = nlohmann::json::array();
  for (const auto& info : *windows)
    list.push_back({{"title", info.title}, {"processName", info.processName}});
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
  const DecodedIcon icon = decodePng(info->iconBase64);
  ASSERT_EQ(icon.width, 32);
  ASSERT_EQ(icon.height, 32);
  for (auto [x, y] : {std::pair{0, 0}, std::pair{8, 20}, std::pair{15, 31}}) {
    const uint8_t* p = icon.at(x, y);
    EXPECT_EQ(p[0], 255);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(p[2], 0);
    EXPECT_EQ(p[3], 255);
  }
  EXPECT_EQ(icon.at(16, 0)[3], 0);
  EXPECT_EQ(icon.at(31, 31)[3], 0);
}

TEST_F(WindowEnumeratorTest, IconWithoutAlphaIsOpaque) {
  const WindowInfo* info = find("qh-enum mask icon");
  ASSERT_NE(info, nullptr);
  const DecodedIcon icon = decodePng(info->iconBase64);
  ASSERT_EQ(icon.width, 24);
  ASSERT_EQ(icon.height, 16);
  for (int y = 0; y < icon.height; ++y) {
    for (int x = 0; x < icon.width; ++x) {
      const uint8_t* p = icon.at(x, y);
      ASSERT_EQ(p[3], 255) << x << "," << y;
      ASSERT_EQ(p[2], 255) << x << "," << y;
      ASSERT_EQ(p[0], 0) << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace quorvane::host
