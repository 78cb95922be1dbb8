#include "encode/EncoderBase.h"

#include <algorithm>
#include <limits>

#include <spdlog/spdlog.h>

namespace quorvane::host {

const char* encoderTypeName(EncoderType type) {
  switch (type) {
    case EncoderType::NVENC:
      return "NVENC";
    case EncoderType::AMF:
      return "AMF";
    case EncoderType::QuickSync:
      return "QuickSync";
    case EncoderType::Software:
      return "Software";
  }
  return "Unknown";
}

bool isHevcCodec(const std::string& codec) { return codec == "h265" || codec == "hevc"; }

namespace {
uint32_t clampTo32(uint64_t value) {
  return static_cast<uint32_t>(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}
}  // namespace

uint32_t kbpsToBitsPerSecond(uint32_t kbps) { return clampTo32(uint64_t{kbps} * 1000); }

uint32_t vbvBufferBits(uint32_t maxBitrateKbps, uint32_t fps) {
  return fps == 0 ? 0 : clampTo32(uint64_t{maxBitrateKbps} * 1000 / fps);
}

bool EncoderBase::validateConfig(const EncoderConfig& config, const char* encoderName) {
  if (config.width == 0 || config.height == 0 || config.fps == 0) {
    SPDLOG_ERROR("{} encoder: invalid configuration {}x{} @ {} fps", encoderName, config.width, config.height,
                 config.fps);
    return false;
  }
  return true;
}

}  // namespace quorvane::host
