#include "encode/TestDecoder.h"

#include <wels/codec_api.h>

#include <cmath>
#include <stdexcept>

#include "ColorConvert.h"

namespace quorvane::test {

TestDecoder::TestDecoder() {
  if (WelsCreateDecoder(&decoder_) != 0 || decoder_ == nullptr) {
    throw std::runtime_error("no decoder");
  }
  SDecodingParam param{};
  param.sVideoProperty.eVideoBsType = VIDEO_BITSTREAM_AVC;
  decoder_->Initialize(&param);
}

TestDecoder::~TestDecoder() {
  decoder_->Uninitialize();
  WelsDestroyDecoder(decoder_);
}

bool TestDecoder::decode(const std::vector<uint8_t>& accessUnit, std::vector<uint8_t>& bgra, uint32_t& width,
                         uint32_t& height) {
  unsigned char* planes[3] = {};
  SBufferInfo info{};
  if (decoder_->DecodeFrameNoDelay(accessUnit.data(), static_cast<int>(accessUnit.size()), planes, &info) !=
          0 ||
      info.iBufferStatus != 1) {
    return false;
  }
  width = static_cast<uint32_t>(info.UsrData.sSystemBuffer.iWidth);
  height = static_cast<uint32_t>(info.UsrData.sSystemBuffer.iHeight);
  bgra.resize(size_t{width} * height * 4);
  standin::ColorConvert::i420ToBgra(planes[0], info.UsrData.sSystemBuffer.iStride[0], planes[1], planes[2],
                                    info.UsrData.sSystemBuffer.iStride[1], width, height, bgra.data());
  return true;
}

double TestDecoder::psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) {
    return 0.0;
  }
  double sum = 0.0;
  size_t count = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    if (i % 4 == 3) {
      continue;  // alpha
    }
    const double d = static_cast<double>(a[i]) - static_cast<double>(b[i]);
    sum += d * d;
    ++count;
  }
  const double mse = sum / static_cast<double>(count);
  return mse == 0.0 ? 100.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::vector<int> TestDecoder::nalTypes(const std::vector<uint8_t>& au) {
  std::vector<int> types;
  for (size_t i = 0; i + 3 < au.size(); ++i) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      types.push_back(au[i + 3] & 0x1F);
      i += 2;
    }
  }
  return types;
}

}  // namespace quorvane::test
