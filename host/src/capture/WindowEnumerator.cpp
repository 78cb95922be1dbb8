#include "capture/WindowEnumerator.h"

#include <dwmapi.h>
#include <objbase.h>
#include <shellapi.h>
#include <wincodec.h>
#include <wincrypt.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include <spdlog/spdlog.h>

#include "capture/WindowIconCache.h"

using Microsoft::WRL::ComPtr;

namespace quorvane::host {

namespace {

const std::vector<std::wstring> kExcludedClasses = {
    L"Progman",
    L"Shell_TrayWnd",
    L"Shell_SecondaryTrayWnd",
    L"NotifyIconOverflowWindow",
    L"Windows.UI.Core.CoreWindow",
    L"ApplicationFrameWindow",
    L"Xaml_WindowedPopupClass",
};

const std::vector<std::wstring> kExcludedTitles = {
    L"Program Manager",
    L"Microsoft Text Input Application",
};

// A window text that does not fit this many UTF-16 units (with its terminator) is cut.
constexpr size_t kTitleCapacityLimit = size_t{1} << 20;

bool isListed(const std::vector<std::wstring>& list, const std::wstring& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

unsigned hr32(HRESULT hr) { return static_cast<unsigned>(hr); }

// Runs a clean-up action when the scope ends.
template <typename F>
class ScopeExit {
 public:
  explicit ScopeExit(F action) : action_(std::move(action)) {}
  ~ScopeExit() { action_(); }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  F action_;
};

// Full path of the executable of the process that owns the window; empty when it cannot be read.
std::wstring processImagePath(HWND hwnd) {
  DWORD processId = 0;
  GetWindowThreadProcessId(hwnd, &processId);
  if (processId == 0) return {};
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  if (!process) return {};
  wchar_t path[MAX_PATH] = {};
  DWORD size = MAX_PATH;
  const BOOL ok = QueryFullProcessImageNameW(process, 0, path, &size);
  CloseHandle(process);
  if (!ok) return {};
  return std::wstring(path, std::min<DWORD>(size, MAX_PATH));
}

// An icon handle counts only when it is 2 or more; 0 and 1 stand for "none".
HICON usableIcon(uintptr_t value) { return value >= 2 ? reinterpret_cast<HICON>(value) : nullptr; }

HICON iconFromMessage(HWND hwnd, WPARAM kind) {
  DWORD_PTR reply = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETICON, kind, 0, SMTO_ABORTIFHUNG, 100, &reply)) return nullptr;
  return usableIcon(reply);
}

// The icon of the window or of its class; none when neither has one.
HICON windowOrClassIcon(HWND hwnd) {
  if (HICON icon = iconFromMessage(hwnd, ICON_BIG)) return icon;
  if (HICON icon = iconFromMessage(hwnd, ICON_SMALL)) return icon;
  if (HICON icon = usableIcon(GetClassLongPtrW(hwnd, GCLP_HICON))) return icon;
  return usableIcon(GetClassLongPtrW(hwnd, GCLP_HICONSM));
}

// The first icon of the window's executable, owned by the caller; none when it has none.
HICON executableIcon(HWND hwnd) {
  const std::wstring path = processImagePath(hwnd);
  if (path.empty()) return nullptr;
  HICON largeIcon = nullptr;
  HICON smallIcon = nullptr;
  if (ExtractIconExW(path.c_str(), 0, &largeIcon, &smallIcon, 1) == 0) return nullptr;
  if (!largeIcon) return smallIcon;
  if (smallIcon) DestroyIcon(smallIcon);
  return largeIcon;
}

// Encodes a 32-bit top-down DIB as PNG; empty on failure.
std::vector<uint8_t> encodePng(HBITMAP dib, int width, int height) {
  ComPtr<IWICImagingFactory> factory;
  HRESULT hr =
      CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&factory));
  if (FAILED(hr)) {
    SPDLOG_WARN("getWindowIconBase64: WIC factory creation failed: 0x{:08x}", hr32(hr));
    return {};
  }
  ComPtr<IWICBitmap> bitmap;
  if (FAILED(factory->CreateBitmapFromHBITMAP(dib, nullptr, WICBitmapUseAlpha, &bitmap))) {
    SPDLOG_WARN("getWindowIconBase64: CreateBitmapFromHBITMAP failed");
    return {};
  }
  ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) return {};
  ComPtr<IWICBitmapEncoder> encoder;
  if (FAILED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder))) return {};
  if (FAILED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache))) return {};
  ComPtr<IWICBitmapFrameEncode> frame;
  if (FAILED(encoder->CreateNewFrame(&frame, nullptr))) return {};

  WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
  hr = frame->Initialize(nullptr);
  if (SUCCEEDED(hr)) hr = frame->SetSize(static_cast<UINT>(width), static_cast<UINT>(height));
  if (SUCCEEDED(hr)) hr = frame->SetPixelFormat(&format);
  if (SUCCEEDED(hr)) hr = frame->WriteSource(bitmap.Get(), nullptr);
  if (SUCCEEDED(hr)) hr = frame->Commit();
  if (SUCCEEDED(hr)) hr = encoder->Commit();
  if (FAILED(hr)) {
    SPDLOG_WARN("getWindowIconBase64: PNG encoding failed at some step: 0x{:08x}", hr32(hr));
    return {};
  }

  HGLOBAL memory = nullptr;
  if (FAILED(GetHGlobalFromStream(stream.Get(), &memory)) || !memory) return {};
  // The memory block may be larger than what the encoder wrote; take the stream's own length.
  SIZE_T size = GlobalSize(memory);
  STATSTG stat{};
  if (SUCCEEDED(stream->Stat(&stat, STATFLAG_NONAME)) && stat.cbSize.QuadPart < size) {
    size = static_cast<SIZE_T>(stat.cbSize.QuadPart);
  }
  std::vector<uint8_t> png;
  if (const void* data = GlobalLock(memory)) {
    png.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    GlobalUnlock(memory);
  }
  return png;
}

// Draws the icon into a 32-bit DIB and encodes it. Nothing when the icon cannot be drawn (with a
// warning); empty bytes when the encoding failed.
std::optional<std::vector<uint8_t>> iconToPng(HICON icon) {
  ICONINFO info{};
  if (!GetIconInfo(icon, &info)) {
    SPDLOG_WARN("getWindowIconBase64: GetIconInfo failed, error={}", GetLastError());
    return std::nullopt;
  }
  ScopeExit releaseBitmaps([&] {
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
  });

  BITMAP bm{};
  if (!GetObjectW(info.hbmColor ? info.hbmColor : info.hbmMask, sizeof(bm), &bm)) {
    SPDLOG_WARN("getWindowIconBase64: GetObject failed, error={}", GetLastError());
    return std::nullopt;
  }
  const int width = bm.bmWidth;
  // A monochrome icon keeps its AND and XOR masks one above the other in the mask bitmap.
  const int height = info.hbmColor ? bm.bmHeight : bm.bmHeight / 2;

  HDC screen = GetDC(nullptr);
  HDC memoryDc = CreateCompatibleDC(screen);
  ScopeExit releaseDcs([&] {
    if (memoryDc) DeleteDC(memoryDc);
    if (screen) ReleaseDC(nullptr, screen);
  });

  BITMAPINFO bmi{};
  bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = width;
  bmi.bmiHeader.biHeight = -height;
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib =
      (width > 0 && height > 0) ? CreateDIBSection(screen, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
  if (!dib || !bits) {
    SPDLOG_WARN("getWindowIconBase64: CreateDIBSection failed, error={}", GetLastError());
    if (dib) DeleteObject(dib);
    return std::nullopt;
  }
  ScopeExit releaseDib([&] { DeleteObject(dib); });

  HGDIOBJ previous = SelectObject(memoryDc, dib);
  RECT area{0, 0, width, height};
  FillRect(memoryDc, &area, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  DrawIconEx(memoryDc, 0, 0, icon, width, height, 0, nullptr, DI_NORMAL);
  SelectObject(memoryDc, previous);
  GdiFlush();

  // Icons without an alpha channel leave every alpha byte at 0; show them opaque rather than
  // fully transparent.
  auto* pixels = static_cast<uint8_t*>(bits);
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  bool anyAlpha = false;
  for (size_t i = 0; i < count && !anyAlpha; ++i) anyAlpha = pixels[i * 4 + 3] != 0;
  if (!anyAlpha) {
    for (size_t i = 0; i < count; ++i) pixels[i * 4 + 3] = 0xFF;
  }

  return encodePng(dib, width, height);
}

// Base64 without line breaks; nothing on failure.
std::optional<std::string> toBase64(const std::vector<uint8_t>& data) {
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD length = 0;
  if (!CryptBinaryToStringA(data.data(), static_cast<DWORD>(data.size()), flags, nullptr, &length)) {
    SPDLOG_WARN("getWindowIconBase64: CryptBinaryToStringA size query failed, error={}", GetLastError());
    return std::nullopt;
  }
  std::string text(length, '\0');
  if (!CryptBinaryToStringA(data.data(), static_cast<DWORD>(data.size()), flags, text.data(), &length)) {
    SPDLOG_WARN("getWindowIconBase64: CryptBinaryToStringA encode failed, error={}", GetLastError());
    return std::nullopt;
  }
  // Plain base64: no terminator and, whatever the system's encoder does, no line breaks.
  std::erase_if(text, [](char ch) { return ch == '\0' || ch == '\r' || ch == '\n'; });
  return text;
}

// The window's icon, or its executable's when `icon` is none, as base64 PNG: empty when there is
// no icon, nothing when the conversion failed (with a warning).
std::optional<std::string> convertIcon(HWND hwnd, HICON icon) {
  const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  ScopeExit uninitialize([com] {
    if (SUCCEEDED(com)) CoUninitialize();
  });

  // An icon from the executable belongs to this conversion; the others to the window or its class.
  const bool owned = icon == nullptr;
  if (owned) icon = executableIcon(hwnd);
  if (!icon) return std::string();
  ScopeExit destroyIcon([icon, owned] {
    if (owned) DestroyIcon(icon);
  });

  const std::optional<std::vector<uint8_t>> png = iconToPng(icon);
  if (!png) return std::nullopt;
  if (png->empty()) {
    SPDLOG_WARN("getWindowIconBase64: PNG data is empty after encoding for hwnd {:x}",
                reinterpret_cast<uintptr_t>(hwnd));
    return std::nullopt;
  }
  return toBase64(*png);
}

WindowIconCache& iconCache() {
  static WindowIconCache cache;
  return cache;
}

// What one enumeration collects.
struct Listing {
  std::vector<protocol::WindowInfo> windows;
  std::vector<HWND> handles;
};

void appendUtf8(std::string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

}  // namespace

std::vector<protocol::WindowInfo> WindowEnumerator::enumerateWindows() {
  Listing listing;
  EnumWindows(&WindowEnumerator::enumWindowsProc, reinterpret_cast<LPARAM>(&listing));
  // Icons of windows that are gone, hidden or otherwise no longer listed are not kept.
  iconCache().retainOnly(listing.handles);
  std::vector<protocol::WindowInfo> windows = std::move(listing.windows);
  // std::string compares as unsigned bytes, so this is the byte order of the UTF-8 titles.
  std::sort(windows.begin(), windows.end(),
            [](const protocol::WindowInfo& a, const protocol::WindowInfo& b) { return a.title < b.title; });
  return windows;
}

BOOL CALLBACK WindowEnumerator::enumWindowsProc(HWND hwnd, LPARAM lParam) {
  // No exception may unwind through the system's enumeration; a window that cannot be added is
  // left out and the enumeration goes on.
  try {
    auto* listing = reinterpret_cast<Listing*>(lParam);
    if (isValidWindow(hwnd)) {
      listing->windows.push_back(getWindowInfo(hwnd));
      listing->handles.push_back(hwnd);
    }
  } catch (const std::exception& e) {
    SPDLOG_WARN("Window {:x} left out of the window list: {}", reinterpret_cast<uintptr_t>(hwnd), e.what());
  }
  return TRUE;
}

bool WindowEnumerator::isValidWindow(HWND hwnd) {
  if (!IsWindowVisible(hwnd)) return false;
  const std::wstring title = getWindowTitle(hwnd);
  if (title.empty()) return false;
  const auto exStyle = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE));
  if (exStyle & WS_EX_TOOLWINDOW) return false;
  const auto style = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
  if ((style & WS_CAPTION) == 0 && (exStyle & WS_EX_APPWINDOW) == 0) return false;
  DWORD cloaked = 0;
  DwmGetWindowAttribute(hwnd, DWMWA_CLOAKED, &cloaked, sizeof(cloaked));
  if (cloaked != 0) return false;
  if (isListed(kExcludedClasses, getWindowClassName(hwnd))) return false;
  if (isListed(kExcludedTitles, title)) return false;
  RECT rect{};
  if (!GetWindowRect(hwnd, &rect)) return false;
  return rect.right - rect.left > 0 && rect.bottom - rect.top > 0;
}

protocol::WindowInfo WindowEnumerator::getWindowInfo(HWND hwnd) {
  protocol::WindowInfo info;
  info.id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(hwnd));
  info.title = wideToUtf8(getWindowTitle(hwnd));
  info.className = wideToUtf8(getWindowClassName(hwnd));
  info.processName = wideToUtf8(getProcessName(hwnd));
  RECT rect{};
  if (GetWindowRect(hwnd, &rect)) {
    info.x = rect.left;
    info.y = rect.top;
    info.width = rect.right - rect.left;
    info.height = rect.bottom - rect.top;
  }
  info.isMinimized = IsIconic(hwnd) != FALSE;
  info.isMaximized = IsZoomed(hwnd) != FALSE;
  info.isVisible = IsWindowVisible(hwnd) != FALSE;
  // Finding the icon handle is cheap, converting it is not: convert only for a window that is new
  // or shows another icon (or, without window or class icon, belongs to another process).
  DWORD processId = 0;
  GetWindowThreadProcessId(hwnd, &processId);
  const HICON icon = windowOrClassIcon(hwnd);
  info.iconBase64 = iconCache().iconBase64({hwnd, icon, processId}, [&] { return convertIcon(hwnd, icon); });
  return info;
}

std::wstring WindowEnumerator::getWindowTitle(HWND hwnd) {
  // The text the system keeps for the window, read without a message to the window's thread:
  // a window of this process whose thread waits (the control window's, while the host shuts
  // down) would otherwise hold the list up for good. The buffer grows until the text fits.
  for (size_t capacity = 256;; capacity *= 2) {
    std::wstring title(capacity, L'\0');
    const int copied = InternalGetWindowText(hwnd, title.data(), static_cast<int>(capacity));
    if (copied <= 0) return {};
    const size_t length = std::min(static_cast<size_t>(copied), capacity - 1);
    if (length < capacity - 1 || capacity >= kTitleCapacityLimit) {
      title.resize(length);
      return title;
    }
  }
}

std::wstring WindowEnumerator::getWindowClassName(HWND hwnd) {
  wchar_t name[256] = {};
  const int length = GetClassNameW(hwnd, name, 256);
  if (length <= 0) return {};
  return std::wstring(name, static_cast<size_t>(std::min(length, 255)));
}

std::wstring WindowEnumerator::getProcessName(HWND hwnd) {
  const std::wstring path = processImagePath(hwnd);
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::string WindowEnumerator::getWindowIconBase64(HWND hwnd) {
  return convertIcon(hwnd, windowOrClassIcon(hwnd)).value_or(std::string());
}

size_t WindowEnumerator::cachedIconCount() { return iconCache().size(); }

std::string WindowEnumerator::wideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const uint32_t unit = static_cast<uint16_t>(text[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
      const uint32_t next = static_cast<uint16_t>(text[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    // A surrogate without its partner has no UTF-8 form.
    appendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? 0xFFFD : unit);
  }
  return out;
}

}  // namespace quorvane::host
