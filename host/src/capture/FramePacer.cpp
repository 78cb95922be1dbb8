#include "capture/FramePacer.h"

#include <dxgi1_2.h>

#include <vector>

#include <spdlog/spdlog.h>

using Microsoft::WRL::ComPtr;

namespace quorvane::host {

bool FramePacer::initialize(ID3D11Device* device) {
  if (!device) {
    SPDLOG_WARN("FramePacer: No device provided");
    return false;
  }

  ComPtr<IDXGIDevice> dxgiDevice;
  ComPtr<IDXGIAdapter> adapter;
  output.Reset();
  if (SUCCEEDED(device->QueryInterface(IID_PPV_ARGS(&dxgiDevice))) &&
      SUCCEEDED(dxgiDevice->GetAdapter(&adapter)) && SUCCEEDED(adapter->EnumOutputs(0, &output))) {
    vsyncAvailable = true;

    // The rate of the first mode the output lists for the capture format. A failure anywhere,
    // or a rate of 0 (drivers and virtual displays report 0/1 when they do not know it), keeps
    // the previous value.
    DXGI_OUTPUT_DESC desc{};
    ComPtr<IDXGIOutput1> output1;
    if (SUCCEEDED(output->GetDesc(&desc)) && SUCCEEDED(output.As(&output1))) {
      UINT count = 0;
      if (SUCCEEDED(output1->GetDisplayModeList1(DXGI_FORMAT_B8G8R8A8_UNORM, 0, &count, nullptr)) &&
          count != 0) {
        std::vector<DXGI_MODE_DESC1> modes(count);
        if (SUCCEEDED(output1->GetDisplayModeList1(DXGI_FORMAT_B8G8R8A8_UNORM, 0, &count, modes.data())) &&
            count != 0 && count <= modes.size() && modes[0].RefreshRate.Denominator != 0 &&
            modes[0].RefreshRate.Numerator != 0) {
          refreshRate = static_cast<float>(modes[0].RefreshRate.Numerator) /
                        static_cast<float>(modes[0].RefreshRate.Denominator);
        }
      }
    }
    SPDLOG_INFO("FramePacer: VSync synchronization available (refresh rate: {:.1f}Hz)", refreshRate);
  } else {
    output.Reset();
  }

  if (!vsyncAvailable) SPDLOG_WARN("FramePacer: VSync not available, using timer-based pacing");
  return vsyncAvailable;
}

}  // namespace quorvane::host
