#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace quorvane::host {

// Steers the stand-in capture runtime: which of its calls fail and how, and what it reports.
// Everything here is process-wide and thread-safe; reset() restores the defaults (supported,
// nothing failing).
class StandinCaptureControl {
 public:
  enum class Step {
    IsSupported,   // the support query throws
    CreateDevice,  // the device wrapper is refused (any code)
    CreateItem,    // the item is refused (any code)
    CreateFramePool,
    CreateSession,
    SetBorder,  // the session lacks the interface for the border switch
    SetCursor,  // the session lacks the interface for the cursor switch
    StartCapture,
    GetTexture,  // returned by the surface's texture access
    Recreate,
    Count
  };

  // Makes the step fail with the code for its next `times` calls (negative: every call).
  static void failStep(Step step, HRESULT code, int times = -1);
  static void setSupported(bool supported);
  // Frames report this content size instead of the window's.
  static void overrideContentSize(std::optional<SIZE> size);
  static void reset();

  // Frame workers currently running, for leak checks.
  static int runningWorkers();
  // Frame-arrived events raised so far by every pool.
  static uint64_t framesRaised();
  // How long each frame-arrived handler ran (the capture's whole delivery of the frame) since the
  // last call, in milliseconds; for benchmarks. The first call starts the record and returns
  // nothing: a program that never asks (the stand-in host) keeps no times.
  static std::vector<double> takeHandlerMilliseconds();

  // Used by the stand-in itself: the failure code for the step's next call, or S_OK.
  static HRESULT takeFailure(Step step);
  static bool supported();
  static std::optional<SIZE> contentSizeOverride();
  static void workerStarted();
  static void workerEnded();
  static void frameRaised(double handlerMilliseconds);
};

}  // namespace quorvane::host
