#pragma once

#include <wels/codec_api.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "ColorConvert.h"

namespace quorvane::test {

// Decodes Annex-B H.264 access units to BGRA with the software decoder.
class TestDecoder {
 public:
  TestDecoder() {
    if (WelsCreateDecoder(&decoder_) != 0 || decoder_ == nullptr) throw std::runtime_error("no decoder");
    SDecodingParam param{};
    param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
    decoder_->Initialize(&param);
  }
  ~TestDecoder() {
    decoder_->Uninitialize();
    WelsDestroyDecoder(decoder_);
  }
  TestDecoder(const TestDecoder&) = delete;
  TestDecoder& operator=(const TestDecoder&) = delete;

  // True when the unit produced a picture; its pixels land in `bgra`.
  bool decode(const std::vector<uint8_t>& unit, std::vector<uint8_t>& bgra, uint32_t& width,
              uint32_t& height) {
    unsigned char* planes[3] = {};
    SBufferInfo info{};
    if (decoder_->DecodeFrameNoDelay(unit.data(), static_cast<int>(unit.size()), planes, &info) != 0 ||
        info.iBufferStatus != 1) {
      return false;
    }
    const SSysMEMBuffer& buffer = info.UsrData.sSystemBuffer;
    width = static_cast<uint32_t>(buffer.iWidth);
    height = static_cast<uint32_t>(buffer.iHeight);
    bgra.resize(size_t{width} * height * 4);
    standin::ColorConvert::i420ToBgra(planes[0], buffer.iStride[0], planes[1], planes[2], buffer.iStride[1],
                                      width, height, bgra.data());
    return true;
  }

  // Over the colour channels of two BGRA pictures `width` pixels wide (0: one row), within
  // columns [x0, x1) and rows [y0, y1), all by default; 0 for pictures of different sizes.
  static double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t width = 0,
                     size_t x0 = 0, size_t y0 = 0, size_t x1 = SIZE_MAX, size_t y1 = SIZE_MAX) {
    if (a.size() != b.size() || a.empty()) return 0.0;
    width = width != 0 ? width : a.size() / 4;
    double sum = 0.0, count = 0.0;
    for (size_t y = y0; y < std::min(y1, a.size() / 4 / width); ++y) {
      for (size_t x = x0; x < std::min(x1, width); ++x) {
        for (size_t i = (y * width + x) * 4, c = 0; c < 3; ++c, ++count)
          sum += std::pow(a[i + c] - b[i + c], 2);
      }
    }
    return sum == 0.0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 * count / sum);
  }

 private:
  ISVCDecoder* decoder_ = nullptr;
};

}  // namespace quorvane::test
