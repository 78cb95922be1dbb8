#pragma once

#include <d3d11.h>
#include <dxgi.h>
#include <wrl/client.h>

#include <atomic>

namespace quorvane::host {

// Finds the first display output of the capture device's adapter and its refresh rate, and holds
// the user's vertical-sync pacing switch. It never delays or times a frame: the rate serves log
// lines only and the switch is kept for the settings.
class FramePacer {
 public:
  FramePacer() = default;
  ~FramePacer() = default;
  FramePacer(const FramePacer&) = delete;
  FramePacer& operator=(const FramePacer&) = delete;

  // Looks up output 0 of the device's adapter and the refresh rate of the first mode it lists for
  // B8G8R8A8_UNORM. Returns whether an output was found.
  bool initialize(ID3D11Device* device);

  bool isVSyncAvailable() const { return vsyncAvailable; }

  // The pacing switch; the caller sets it directly from any thread.
  std::atomic<bool> vsyncEnabled{true};
  // Detected refresh rate in Hz (60 until one is read); written only by `initialize`.
  float refreshRate = 60.0f;

 private:
  Microsoft::WRL::ComPtr<IDXGIOutput> output;
  bool vsyncAvailable = false;
};

}  // namespace quorvane::host
