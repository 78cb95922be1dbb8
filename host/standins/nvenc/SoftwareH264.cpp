#include "SoftwareH264.h"

#include <wels/codec_api.h>

#include <algorithm>
#include <cstring>

#include "ColorConvert.h"

namespace quorvane::standin {

namespace {
// The software encoder takes signed rates and rejects ones beyond its top level.
int clampRate(uint32_t bitsPerSecond) {
  return static_cast<int>(std::clamp<uint32_t>(bitsPerSecond, 10000, 200000000));
}
}  // namespace

SoftwareH264::~SoftwareH264() { close(); }

bool SoftwareH264::open(const SoftwareH264Settings& settings) {
  close();
  if (settings.width == 0 || settings.height == 0 || (settings.width | settings.height) & 1) {
    return false;
  }
  if (WelsCreateSVCEncoder(&encoder_) != 0 || encoder_ == nullptr) {
    encoder_ = nullptr;
    return false;
  }
  // The library's own warnings would go to the host's output; the host reports failures itself.
  int traceLevel = WELS_LOG_QUIET;
  encoder_->SetOption(ENCODER_OPTION_TRACE_LEVEL, &traceLevel);
  settings_ = settings;
  SEncParamExt p;
  encoder_->GetDefaultParams(&p);
  p.iUsageType = CAMERA_VIDEO_REAL_TIME;
  p.iPicWidth = static_cast<int>(settings.width);
  p.iPicHeight = static_cast<int>(settings.height);
  p.iTargetBitrate = clampRate(settings.bitrate);
  p.iMaxBitrate = std::max(clampRate(settings.maxBitrate), p.iTargetBitrate);
  p.iRCMode = RC_BITRATE_MODE;
  p.fMaxFrameRate = static_cast<float>(settings.fps);
  p.uiIntraPeriod = settings.idrPeriod;
  p.bEnableFrameSkip = false;
  p.iTemporalLayerNum = 1;
  p.iSpatialLayerNum = 1;
  p.iMultipleThreadIdc = 1;
  p.iNumRefFrame = 1;
  p.iMaxQp = 51;
  p.iMinQp = 10;
  p.eSpsPpsIdStrategy = CONSTANT_ID;
  SSpatialLayerConfig& layer = p.sSpatialLayers[0];
  layer.iVideoWidth = p.iPicWidth;
  layer.iVideoHeight = p.iPicHeight;
  layer.fFrameRate = p.fMaxFrameRate;
  layer.iSpatialBitrate = p.iTargetBitrate;
  layer.iMaxSpatialBitrate = p.iMaxBitrate;
  layer.sSliceArgument.uiSliceMode = settings.slices > 1 ? SM_FIXEDSLCNUM_SLICE : SM_SINGLE_SLICE;
  layer.sSliceArgument.uiSliceNum = settings.slices > 1 ? settings.slices : 1;
  if (settings.fullRange) {
    layer.bVideoSignalTypePresent = true;
    layer.bFullRange = true;
    layer.bColorDescriptionPresent = true;
    layer.uiColorPrimaries = CP_BT709;
    layer.uiTransferCharacteristics = TRC_BT709;
    layer.uiColorMatrix = CM_BT709;
  }
  if (encoder_->InitializeExt(&p) != 0) {
    close();
    return false;
  }
  current_ = p.iTargetBitrate;
  int format = videoFormatI420;
  encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
  i420_.resize(size_t{settings.width} * settings.height * 3 / 2);
  frames_ = 0;
  return true;
}

void SoftwareH264::close() {
  if (encoder_ != nullptr) {
    encoder_->Uninitialize();
    WelsDestroySVCEncoder(encoder_);
    encoder_ = nullptr;
  }
  staging_.Reset();
}

bool SoftwareH264::readBack(ID3D11Texture2D* texture) {
  D3D11_TEXTURE2D_DESC desc;
  texture->GetDesc(&desc);
  if (desc.Width != settings_.width || desc.Height != settings_.height ||
      desc.Format != DXGI_FORMAT_B8G8R8A8_UNORM) {
    return false;
  }
  Microsoft::WRL::ComPtr<ID3D11Device> device;
  texture->GetDevice(&device);
  Microsoft::WRL::ComPtr<ID3D11DeviceContext> context;
  device->GetImmediateContext(&context);
  if (!staging_) {
    desc.Usage = D3D11_USAGE_STAGING;
    desc.BindFlags = 0;
    desc.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    desc.MiscFlags = 0;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    if (FAILED(device->CreateTexture2D(&desc, nullptr, &staging_))) {
      return false;
    }
  }
  context->CopyResource(staging_.Get(), texture);
  D3D11_MAPPED_SUBRESOURCE mapped;
  if (FAILED(context->Map(staging_.Get(), 0, D3D11_MAP_READ, 0, &mapped))) {
    return false;
  }
  const size_t lumaSize = size_t{settings_.width} * settings_.height;
  ColorConvert::bgraToI420(static_cast<const uint8_t*>(mapped.pData), mapped.RowPitch, settings_.width,
                           settings_.height, i420_.data(), i420_.data() + lumaSize,
                           i420_.data() + lumaSize + lumaSize / 4);
  context->Unmap(staging_.Get(), 0);
  return true;
}

bool SoftwareH264::encode(ID3D11Texture2D* texture, bool forceIdr, std::vector<uint8_t>& out, bool& idr) {
  out.clear();
  idr = false;
  if (encoder_ == nullptr || texture == nullptr || !readBack(texture)) {
    return false;
  }
  if (forceIdr) {
    encoder_->ForceIntraFrame(true);
  }
  const int w = static_cast<int>(settings_.width);
  const int h = static_cast<int>(settings_.height);
  SSourcePicture pic{};
  pic.iColorFormat = videoFormatI420;
  pic.iPicWidth = w;
  pic.iPicHeight = h;
  pic.iStride[0] = w;
  pic.iStride[1] = pic.iStride[2] = w / 2;
  pic.pData[0] = i420_.data();
  pic.pData[1] = pic.pData[0] + w * h;
  pic.pData[2] = pic.pData[1] + w * h / 4;
  pic.uiTimeStamp = static_cast<long long>(frames_ * 1000 / (settings_.fps ? settings_.fps : 30));
  SFrameBSInfo info{};
  if (encoder_->EncodeFrame(&pic, &info) != cmResultSuccess) {
    return false;
  }
  ++frames_;
  for (int l = 0; l < info.iLayerNum; ++l) {
    const SLayerBSInfo& layer = info.sLayerInfo[l];
    size_t bytes = 0;
    for (int n = 0; n < layer.iNalCount; ++n) {
      bytes += static_cast<size_t>(layer.pNalLengthInByte[n]);
    }
    out.insert(out.end(), layer.pBsBuf, layer.pBsBuf + bytes);
  }
  idr = info.eFrameType == videoFrameTypeIDR;
  return !out.empty();
}

void SoftwareH264::setBitrate(uint32_t bitrate, uint32_t maxBitrate) {
  if (encoder_ == nullptr) {
    return;
  }
  settings_.bitrate = bitrate;
  settings_.maxBitrate = maxBitrate;
  // The target may never exceed the peak: lower the target first, raise the peak first.
  SBitrateInfo target{SPATIAL_LAYER_ALL, clampRate(bitrate)};
  SBitrateInfo peak{SPATIAL_LAYER_ALL, std::max(clampRate(maxBitrate), target.iBitrate)};
  if (target.iBitrate < current_) {
    encoder_->SetOption(ENCODER_OPTION_BITRATE, &target);
    encoder_->SetOption(ENCODER_OPTION_MAX_BITRATE, &peak);
  } else {
    encoder_->SetOption(ENCODER_OPTION_MAX_BITRATE, &peak);
    encoder_->SetOption(ENCODER_OPTION_BITRATE, &target);
  }
  current_ = target.iBitrate;
}

std::vector<uint8_t> SoftwareH264::syntheticHevc(bool idr, uint32_t frame) {
  std::vector<uint8_t> au;
  auto nal = [&au](std::initializer_list<uint8_t> bytes) {
    au.insert(au.end(), {0, 0, 0, 1});
    au.insert(au.end(), bytes);
  };
  if (idr) {
    nal({0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF});                   // VPS
    nal({0x42, 0x01, 0x01, 0x01, 0x60, 0x00});                   // SPS
    nal({0x44, 0x01, 0xC1, 0x72, 0xB4});                         // PPS
    nal({0x26, 0x01, 0xAF, static_cast<uint8_t>(frame), 0x80});  // IDR_W_RADL slice
  } else {
    nal({0x02, 0x01, 0xD0, static_cast<uint8_t>(frame), 0x80});  // TRAIL_R slice
  }
  return au;
}

}  // namespace quorvane::standin
