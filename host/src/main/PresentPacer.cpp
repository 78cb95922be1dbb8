#include "main/PresentPacer.h"

#include <utility>

double MonitorRefreshRate(HWND window) {
  MONITORINFOEXW info{};
  info.cbSize = sizeof(info);
  DEVMODEW mode{};
  mode.dmSize = sizeof(mode);
  const HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
  if (monitor == nullptr || !GetMonitorInfoW(monitor, &info) ||
      !EnumDisplaySettingsW(info.szDevice, ENUM_CURRENT_SETTINGS, &mode) || mode.dmDisplayFrequency <= 1) {
    return 60.0;
  }
  return static_cast<double>(mode.dmDisplayFrequency);
}

PresentPacer::PresentPacer(RefreshRateOf refreshRateOf) : refreshRateOf(std::move(refreshRateOf)) {}

void PresentPacer::afterPresent(HWND window) {
  using namespace std::chrono;
  // The rate is looked up again only when the window has moved to another monitor.
  const HMONITOR current = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
  if (current != monitor || interval.count() == 0) {
    monitor = current;
    interval = duration_cast<nanoseconds>(duration<double>(1.0 / refreshRateOf(window)));
  }
  const auto elapsed = steady_clock::now() - previousEnd;
  if (elapsed < interval) {
    // Whole milliseconds, rounded down: a present that came a fraction of a millisecond
    // early, as one that waited for the vertical blank may, is not held back.
    const auto rest = duration_cast<milliseconds>(interval - elapsed);
    if (rest.count() > 0) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(rest.count()), QS_ALLINPUT);
    }
  }
  previousEnd = steady_clock::now();
}
