#include "audio/PcmConversion.h"

#include <cmath>

namespace quorvane::host::PcmConversion {

SampleLayout classify(uint16_t formatTag, uint16_t bitsPerSample, bool floatSubFormat) {
  const bool isFloat =
      formatTag == kFormatTagIeeeFloat || (formatTag == kFormatTagExtensible && floatSubFormat);
  if (isFloat) {
    // A float format of another width would be misread as 32-bit floats.
    return bitsPerSample == 32 ? SampleLayout::Float32 : SampleLayout::Unsupported;
  }
  return bitsPerSample == 16 ? SampleLayout::Int16 : SampleLayout::Unsupported;
}

int16_t floatToInt16(float sample) {
  if (std::isnan(sample)) {
    return 0;
  }
  const float clamped = sample < -1.0f ? -1.0f : (sample > 1.0f ? 1.0f : sample);
  return static_cast<int16_t>(std::trunc(clamped * 32767.0f));
}

void floatToInt16(const float* in, size_t count, int16_t* out) {
  for (size_t i = 0; i < count; ++i) {
    out[i] = floatToInt16(in[i]);
  }
}

}  // namespace quorvane::host::PcmConversion
