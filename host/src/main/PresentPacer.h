#pragma once

#include <windows.h>

#include <chrono>
#include <functional>

// The refresh rate of the monitor that shows most of the window, in Hz; 60 when the system
// reports none (0 or 1 stand for the hardware's default).
double MonitorRefreshRate(HWND window);

// Keeps the main loop at the refresh rate of the window's monitor wherever presenting does
// not wait for the vertical blank: a minimised or occluded window, or Wine, whose Present
// returns at once. Where Present does wait, the interval has passed by the time it returns
// and nothing more is waited. Owns the time the previous frame ended and the refresh
// interval of the monitor the window was last on. Main thread only.
class PresentPacer {
 public:
  // Where a window's refresh rate comes from, in Hz.
  using RefreshRateOf = std::function<double(HWND window)>;

  explicit PresentPacer(RefreshRateOf refreshRateOf = MonitorRefreshRate);

  // Called right after each present: when it returned sooner than one refresh interval after
  // the previous frame ended, waits out the rest of the interval, or until a message for
  // this thread arrives (input, restore, close).
  void afterPresent(HWND window);

 private:
  RefreshRateOf refreshRateOf;
  HMONITOR monitor = nullptr;
  std::chrono::nanoseconds interval{0};
  std::chrono::steady_clock::time_point previousEnd{};
};
