#include "input/InputInjector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <spdlog/spdlog.h>

namespace quorvane::host {

namespace {

constexpr int64_t kNormalisedRange = 65535;
// Largest client width or height a resize accepts; window rectangles are signed 16-bit
// in much of the system.
constexpr uint32_t kMaxClientSize = 32767;
// How long a resize waits for the window to report its minimum size.
constexpr UINT kMinMaxQueryTimeoutMs = 1000;

constexpr uint8_t kModifierShift = 0x01;
constexpr uint8_t kModifierCtrl = 0x02;
constexpr uint8_t kModifierAlt = 0x04;
constexpr uint8_t kModifierWin = 0x08;

// Normalised virtual-desktop coordinate of a pixel offset. The system turns a normalised
// coordinate back into pixels as (value * size) / 65536, truncated, so the value is the
// smallest one that lands on the pixel itself: the ceiling of offset * 65536 / size.
// (Scaling by 65535 and truncating lands one pixel short for every offset above 0.)
int64_t normalisedFromPixel(int64_t offset, int64_t size) {
  const int64_t scaled = offset * 65536;
  return scaled >= 0 ? (scaled + size - 1) / size : scaled / size;
}

LONG clampToLong(int64_t value) {
  return static_cast<LONG>(
      std::clamp<int64_t>(value, std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max()));
}

// x times the relative scale in single precision, truncated; values the scale pushes out
// of range are held at the range's ends.
LONG scaleRelative(uint16_t value, float scale) {
  const float scaled = static_cast<float>(value) * scale;
  if (std::isnan(scaled)) {
    return 0;
  }
  const double bounded =
      std::clamp<double>(scaled, std::numeric_limits<LONG>::min(), std::numeric_limits<LONG>::max());
  return static_cast<LONG>(bounded);
}

bool isExtendedKey(uint8_t virtualKey) {
  switch (virtualKey) {
    case VK_PRIOR:
    case VK_NEXT:
    case VK_END:
    case VK_HOME:
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
    case VK_INSERT:
    case VK_DELETE:
    case VK_DIVIDE:
    case VK_NUMLOCK:
    case VK_RCONTROL:
    case VK_RMENU:
      return true;
    default:
      return false;
  }
}

INPUT mouseRecord(DWORD flags, DWORD mouseData) {
  INPUT input{};
  input.type = INPUT_MOUSE;
  input.mi.dwFlags = flags;
  input.mi.mouseData = mouseData;
  return input;
}

INPUT keyRecord(WORD virtualKey, WORD scanCode, DWORD flags) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = virtualKey;
  input.ki.wScan = scanCode;
  input.ki.dwFlags = flags;
  return input;
}

}  // namespace

InputInjector::~InputInjector() {
  std::lock_guard lock(mutex);
  syncModifiers(0);
}

bool InputInjector::initialize(const InputInjectorConfig& newConfig) {
  std::lock_guard lock(mutex);
  config = newConfig;
  SPDLOG_INFO("Input injector initialized (absolute mode: {})", config.absoluteMode);
  return true;
}

void InputInjector::setTargetWindow(HWND window) {
  std::lock_guard lock(mutex);
  targetWindow = window;
}

void InputInjector::sendMouseMove(uint16_t x, uint16_t y) {
  std::lock_guard lock(mutex);
  moveLocked(x, y);
}

void InputInjector::sendMouseButton(uint8_t button, bool down) {
  std::lock_guard lock(mutex);
  buttonLocked(button, down);
}

void InputInjector::sendMouseWheel(int16_t delta) {
  std::lock_guard lock(mutex);
  wheelLocked(delta);
}

void InputInjector::sendKey(uint8_t virtualKey, bool down, uint8_t modifiers) {
  std::lock_guard lock(mutex);
  keyLocked(virtualKey, down, modifiers);
}

void InputInjector::sendUnicodeChar(uint16_t character) {
  std::lock_guard lock(mutex);
  unicodeCharLocked(character);
}

void InputInjector::handleEvent(const InjectorEvent& event) {
  std::lock_guard lock(mutex);
  dispatchLocked(event);
}

void InputInjector::handleEventFor(HWND window, const InjectorEvent& event) {
  std::lock_guard lock(mutex);
  targetWindow = window;
  dispatchLocked(event);
}

void InputInjector::dispatchLocked(const InjectorEvent& event) {
  if (event.type == 1) {
    switch (event.action) {
      case 1:
        moveLocked(event.x, event.y);
        break;
      case 2:
      case 3:
        moveLocked(event.x, event.y);
        buttonLocked(event.code, event.action == 2);
        break;
      case 4:
        moveLocked(event.x, event.y);
        wheelLocked(event.wheelDelta);
        break;
      default:
        break;
    }
  } else if (event.type == 2) {
    switch (event.action) {
      case 1:
      case 2:
        keyLocked(event.code, event.action == 1, event.modifiers);
        break;
      case 3:
        unicodeCharLocked(event.code);
        break;
      default:
        break;
    }
  }
}

void InputInjector::moveLocked(uint16_t x, uint16_t y) {
  if (!config.absoluteMode) {
    INPUT input = mouseRecord(MOUSEEVENTF_MOVE, 0);
    input.mi.dx = scaleRelative(x, config.relativeScale);
    input.mi.dy = scaleRelative(y, config.relativeScale);
    sendInputs(&input, 1);
    return;
  }

  INPUT input = mouseRecord(MOUSEEVENTF_MOVE | MOUSEEVENTF_VIRTUALDESK | MOUSEEVENTF_ABSOLUTE, 0);
  if (targetWindow == nullptr) {
    input.mi.dx = x;
    input.mi.dy = y;
    sendInputs(&input, 1);
    return;
  }

  // Products in 64 bits: window and screen sizes times 65535 leave 32-bit range quickly.
  int64_t pixelX = 0;
  int64_t pixelY = 0;
  RECT rect{};
  if (GetWindowRect(targetWindow, &rect)) {
    pixelX = rect.left + (static_cast<int64_t>(rect.right) - rect.left) * x / kNormalisedRange;
    pixelY = rect.top + (static_cast<int64_t>(rect.bottom) - rect.top) * y / kNormalisedRange;
  } else {
    // The window is gone: the position spans the whole virtual screen instead.
    pixelX = GetSystemMetrics(SM_XVIRTUALSCREEN) +
             static_cast<int64_t>(x) * GetSystemMetrics(SM_CXVIRTUALSCREEN) / kNormalisedRange;
    pixelY = GetSystemMetrics(SM_YVIRTUALSCREEN) +
             static_cast<int64_t>(y) * GetSystemMetrics(SM_CYVIRTUALSCREEN) / kNormalisedRange;
  }

  const int64_t screenX = GetSystemMetrics(SM_XVIRTUALSCREEN);
  const int64_t screenY = GetSystemMetrics(SM_YVIRTUALSCREEN);
  const int64_t screenWidth = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int64_t screenHeight = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  if (screenWidth <= 0 || screenHeight <= 0) {
    if (!virtualScreenWarned) {
      SPDLOG_WARN("Virtual screen size is {}x{}; pointer moves are dropped", screenWidth, screenHeight);
      virtualScreenWarned = true;
    }
    return;
  }
  input.mi.dx = clampToLong(normalisedFromPixel(pixelX - screenX, screenWidth));
  input.mi.dy = clampToLong(normalisedFromPixel(pixelY - screenY, screenHeight));
  sendInputs(&input, 1);
}

void InputInjector::buttonLocked(uint8_t button, bool down) {
  DWORD flags = 0;
  DWORD mouseData = 0;
  switch (button) {
    case 0:
      flags = down ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
      break;
    case 1:
      flags = down ? MOUSEEVENTF_RIGHTDOWN : MOUSEEVENTF_RIGHTUP;
      break;
    case 2:
      flags = down ? MOUSEEVENTF_MIDDLEDOWN : MOUSEEVENTF_MIDDLEUP;
      break;
    case 3:
    case 4:
      flags = down ? MOUSEEVENTF_XDOWN : MOUSEEVENTF_XUP;
      mouseData = button == 3 ? XBUTTON1 : XBUTTON2;
      break;
    default:
      break;
  }
  INPUT input = mouseRecord(flags, mouseData);
  sendInputs(&input, 1);
}

void InputInjector::wheelLocked(int16_t delta) {
  INPUT input = mouseRecord(MOUSEEVENTF_WHEEL, static_cast<DWORD>(static_cast<int32_t>(delta)));
  sendInputs(&input, 1);
}

void InputInjector::keyLocked(uint8_t virtualKey, bool down, uint8_t modifiers) {
  syncModifiers(modifiers);
  DWORD flags = down ? 0 : KEYEVENTF_KEYUP;
  if (isExtendedKey(virtualKey)) {
    flags |= KEYEVENTF_EXTENDEDKEY;
  }
  const auto scanCode = static_cast<WORD>(MapVirtualKeyW(virtualKey, MAPVK_VK_TO_VSC));
  INPUT input = keyRecord(virtualKey, scanCode, flags);
  sendInputs(&input, 1);
}

void InputInjector::unicodeCharLocked(uint16_t character) {
  INPUT input = keyRecord(0, character, KEYEVENTF_UNICODE);
  sendInputs(&input, 1);
  input = keyRecord(0, character, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP);
  sendInputs(&input, 1);
}

void InputInjector::syncModifiers(uint8_t modifiers) {
  struct Modifier {
    uint8_t bit;
    bool InputInjector::*held;
    WORD virtualKey;
  };
  static constexpr Modifier kModifiers[] = {
      {kModifierShift, &InputInjector::shiftDown, VK_SHIFT},
      {kModifierCtrl, &InputInjector::ctrlDown, VK_CONTROL},
      {kModifierAlt, &InputInjector::altDown, VK_MENU},
      {kModifierWin, &InputInjector::winDown, VK_LWIN},
  };
  for (const Modifier& modifier : kModifiers) {
    const bool wanted = (modifiers & modifier.bit) != 0;
    if (this->*modifier.held == wanted) {
      continue;
    }
    INPUT input = keyRecord(modifier.virtualKey, 0, wanted ? 0 : KEYEVENTF_KEYUP);
    sendInputs(&input, 1);
    this->*modifier.held = wanted;
  }
}

void InputInjector::sendInputs(INPUT* inputs, uint32_t count) {
  const UINT sent = SendInput(count, inputs, sizeof(INPUT));
  if (sent < count) {
    SPDLOG_WARN("SendInput: sent {} of {} inputs", sent, count);
  }
}

bool InputInjector::resizeWindow(HWND window, uint32_t clientWidth, uint32_t clientHeight,
                                 bool keepPosition) {
  if (window == nullptr || !IsWindow(window)) {
    SPDLOG_ERROR("Invalid window handle for resize");
    return false;
  }
  if (clientWidth == 0 || clientHeight == 0 || clientWidth > kMaxClientSize ||
      clientHeight > kMaxClientSize) {
    SPDLOG_ERROR("Invalid client size for resize: {}x{}", clientWidth, clientHeight);
    return false;
  }

  RECT current{};
  if (!GetWindowRect(window, &current)) {
    SPDLOG_ERROR("Failed to get window rect: {}", GetLastError());
    return false;
  }

  const auto style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
  const auto exStyle = static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE));
  // A menu bar takes client height too; child windows have no menu (their "menu" is an id).
  const BOOL hasMenu = (style & WS_CHILD) == 0 && GetMenu(window) != nullptr;
  RECT frame{0, 0, static_cast<LONG>(clientWidth), static_cast<LONG>(clientHeight)};
  AdjustWindowRectEx(&frame, style, hasMenu, exStyle);
  int width = frame.right - frame.left;
  int height = frame.bottom - frame.top;

  // A hung window must not hold the caller: after the timeout it counts as having no
  // minimum, and the move is posted to its thread instead of waiting for it.
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
  MINMAXINFO minMax{};
  DWORD_PTR ignored = 0;
  if (SendMessageTimeoutW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&minMax),
                          SMTO_NORMAL | SMTO_ABORTIFHUNG, kMinMaxQueryTimeoutMs, &ignored)) {
    if (minMax.ptMinTrackSize.x > 0) {
      width = std::max<int>(width, minMax.ptMinTrackSize.x);
    }
    if (minMax.ptMinTrackSize.y > 0) {
      height = std::max<int>(height, minMax.ptMinTrackSize.y);
    }
  } else {
    SPDLOG_WARN("Window {:x} did not answer the minimum size query; resizing without a minimum",
                reinterpret_cast<uintptr_t>(window));
    flags |= SWP_ASYNCWINDOWPOS;
  }

  int x = current.left;
  int y = current.top;
  if (keepPosition) {
    flags |= SWP_NOMOVE;
  } else {
    x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;
  }

  if (!SetWindowPos(window, nullptr, x, y, width, height, flags)) {
    SPDLOG_ERROR("SetWindowPos failed: {}", GetLastError());
    return false;
  }
  SPDLOG_INFO("Window resized to {}x{} (client: {}x{})", width, height, clientWidth, clientHeight);
  return true;
}

}  // namespace quorvane::host
