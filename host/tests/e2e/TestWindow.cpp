// The window that the end-to-end test streams. Usage:
//
//   qh_test_window LOGFILE [TITLE [WIDTH HEIGHT [noise]]]
//
// Opens a captioned top-level window (default title "Quorvane Test Window", client area 640 by
// 480) of class "QuorvaneTestWindow" with its icon resource as its class icon, and paints a known picture
// over its whole client area: four quadrants, red top left, green top right, blue bottom left, yellow bottom
// right, each with a square marker near its outer corner, white top left, black top right, cyan bottom left,
// magenta bottom right. With m = min(width, height), a marker is m / 8 pixels wide and lies m / 16 pixels
// from both edges of its corner. With "noise" it paints instead, every 10 ms, fresh random colours into
// every pixel of the upper half of its client area and grey (128, 128, 128) into the lower half: a
// picture that no encoder can make small, so that the size of the encoded frames follows the encoder's
// bitrate, yet one that changes too little of the window to count as a new scene.
// Every input it receives is appended to LOGFILE as one line, flushed at once:
//
//   ready HWND WIDTH HEIGHT X Y   once shown: the window handle (hexadecimal), client size, and
//                                 where the client area begins inside the whole window
//   size WIDTH HEIGHT             WM_SIZE
//   move X Y                      mouse position in client coordinates
//   down|up BUTTON X Y            BUTTON is left, right, middle, x1 or x2
//   wheel DELTA X Y               wheel turn, position in client coordinates
//   keydown|keyup VK              virtual-key code in hexadecimal (also for the system-key forms)
//   char CODE                     UTF-16 code unit of WM_CHAR in hexadecimal
//   close                         WM_CLOSE; the program then ends with exit code 0
//
// Runs on its one thread: the message loop.
#include <windows.h>
#include <shellapi.h>
#include <windowsx.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

FILE* g_log = nullptr;
bool g_noise = false;
uint32_t g_seed = 0x9E3779B9u;

void record(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vfprintf(g_log, format, args);
  va_end(args);
  std::fputc('\n', g_log);
  std::fflush(g_log);
}

void fill(HDC dc, int left, int top, int right, int bottom, COLORREF color) {
  RECT rect{left, top, right, bottom};
  HBRUSH brush = CreateSolidBrush(color);
  FillRect(dc, &rect, brush);
  DeleteObject(brush);
}

void paintNoise(HDC dc, int w, int h) {
  static std::vector<uint32_t> pixels;
  pixels.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
  const size_t noisy = static_cast<size_t>(w) * static_cast<size_t>(h / 2);
  for (size_t i = 0; i < pixels.size(); ++i) {
    g_seed ^= g_seed << 13;  // xorshift32
    g_seed ^= g_seed >> 17;
    g_seed ^= g_seed << 5;
    pixels[i] = i < noisy ? g_seed & 0xFFFFFFu : 0x808080u;
  }
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = -h;  // top-down rows
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  SetDIBitsToDevice(dc, 0, 0, w, h, 0, 0, 0, h, pixels.data(), &info, DIB_RGB_COLORS);
}

void paint(HWND window) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window, &ps);
  RECT client;
  GetClientRect(window, &client);
  const int w = client.right, h = client.bottom, cx = w / 2, cy = h / 2;
  if (g_noise) {
    if (w > 0 && h > 0) {
      paintNoise(dc, w, h);
    }
    EndPaint(window, &ps);
    return;
  }
  fill(dc, 0, 0, cx, cy, RGB(255, 0, 0));
  fill(dc, cx, 0, w, cy, RGB(0, 255, 0));
  fill(dc, 0, cy, cx, h, RGB(0, 0, 255));
  fill(dc, cx, cy, w, h, RGB(255, 255, 0));
  const int m = w < h ? w : h, size = m / 8, inset = m / 16;
  fill(dc, inset, inset, inset + size, inset + size, RGB(255, 255, 255));
  fill(dc, w - inset - size, inset, w - inset, inset + size, RGB(0, 0, 0));
  fill(dc, inset, h - inset - size, inset + size, h - inset, RGB(0, 255, 255));
  fill(dc, w - inset - size, h - inset - size, w - inset, h - inset, RGB(255, 0, 255));
  EndPaint(window, &ps);
}

const char* buttonName(UINT message, WPARAM wParam) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
      return "left";
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
      return "right";
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
      return "middle";
    default:
      return GET_XBUTTON_WPARAM(wParam) == XBUTTON1 ? "x1" : "x2";
  }
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
  switch (message) {
    case WM_PAINT:
      paint(window);
      return 0;
    case WM_TIMER:
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_SIZE:
      record("size %d %d", LOWORD(lParam), HIWORD(lParam));
      return 0;
    case WM_MOUSEMOVE:
      record("move %d %d", x, y);
      return 0;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
    case WM_XBUTTONDOWN:
      record("down %s %d %d", buttonName(message, wParam), x, y);
      return message == WM_XBUTTONDOWN ? TRUE : 0;
    case WM_LBUTTONUP:
    case WM_RBUTTONUP:
    case WM_MBUTTONUP:
    case WM_XBUTTONUP:
      record("up %s %d %d", buttonName(message, wParam), x, y);
      return message == WM_XBUTTONUP ? TRUE : 0;
    case WM_MOUSEWHEEL: {
      POINT point{x, y};  // screen coordinates for this message
      ScreenToClient(window, &point);
      record("wheel %d %ld %ld", GET_WHEEL_DELTA_WPARAM(wParam), point.x, point.y);
      return 0;
    }
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
      record("keydown 0x%02x", static_cast<unsigned>(wParam));
      break;
    case WM_KEYUP:
    case WM_SYSKEYUP:
      record("keyup 0x%02x", static_cast<unsigned>(wParam));
      break;
    case WM_CHAR:
      record("char 0x%04x", static_cast<unsigned>(wParam));
      return 0;
    case WM_CLOSE:
      record("close");
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 2 || !(g_log = _wfopen(argv[1], L"w"))) return 2;
  const wchar_t* title = argc > 2 ? argv[2] : L"Quorvane Test Window";
  const int width = argc > 4 ? _wtoi(argv[3]) : 640, height = argc > 4 ? _wtoi(argv[4]) : 480;
  g_noise = argc > 5 && lstrcmpW(argv[5], L"noise") == 0;

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.lpfnWndProc = windowProc;
  wc.hInstance = instance;
  // The program's own icon resource: another process (the host's window list) reads it
  // from the file, where Wine cannot read a class icon of this process.
  wc.hIcon = wc.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.lpszClassName = L"QuorvaneTestWindow";
  if (!RegisterClassExW(&wc)) return 3;

  RECT outer{0, 0, width, height};
  AdjustWindowRectEx(&outer, WS_OVERLAPPEDWINDOW, FALSE, 0);
  HWND window =
      CreateWindowExW(0, wc.lpszClassName, title, WS_OVERLAPPEDWINDOW, 40, 40, outer.right - outer.left,
                      outer.bottom - outer.top, nullptr, nullptr, instance, nullptr);
  if (!window) return 4;
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  SetForegroundWindow(window);
  if (g_noise) {
    SetTimer(window, 1, 10, nullptr);
  }
  RECT client, frame;
  GetClientRect(window, &client);
  GetWindowRect(window, &frame);
  POINT origin{0, 0};
  ClientToScreen(window, &origin);
  record("ready 0x%llx %ld %ld %ld %ld", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)),
         client.right, client.bottom, origin.x - frame.left, origin.y - frame.top);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  std::fclose(g_log);
  LocalFree(argv);
  return 0;
}
