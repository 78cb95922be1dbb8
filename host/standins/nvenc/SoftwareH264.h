#pragma once

#include <d3d11.h>
#include <wrl/client.h>

#include <cstdint>
#include <vector>

class ISVCEncoder;

namespace quorvane::standin {

struct SoftwareH264Settings {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t bitrate = 0;     // bits per second
  uint32_t maxBitrate = 0;  // bits per second
  uint32_t fps = 30;
  uint32_t idrPeriod = 0;  // 0: only the first picture and forced ones are IDR
  uint32_t slices = 1;
  bool fullRange = false;
};

// The stand-in runtimes' encoder: reads a BGRA texture back through a staging copy,
// converts it to I420 and encodes it with the software H.264 encoder.
class SoftwareH264 {
 public:
  SoftwareH264() = default;
  ~SoftwareH264();
  SoftwareH264(const SoftwareH264&) = delete;
  SoftwareH264& operator=(const SoftwareH264&) = delete;

  bool open(const SoftwareH264Settings& settings);
  void close();
  // Encodes one picture into `out` (Annex-B); `idr` tells whether it became an IDR.
  bool encode(ID3D11Texture2D* texture, bool forceIdr, std::vector<uint8_t>& out, bool& idr);
  void setBitrate(uint32_t bitrate, uint32_t maxBitrate);

  // A made-up HEVC access unit (VPS, SPS, PPS and an IDR slice, or a trailing slice).
  static std::vector<uint8_t> syntheticHevc(bool idr, uint32_t frame);

 private:
  bool readBack(ID3D11Texture2D* texture);

  ISVCEncoder* encoder_ = nullptr;
  SoftwareH264Settings settings_;
  Microsoft::WRL::ComPtr<ID3D11Texture2D> staging_;
  std::vector<uint8_t> i420_;
  uint64_t frames_ = 0;
  int current_ = 0;
};

}  // namespace quorvane::standin
