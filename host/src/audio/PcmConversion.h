#pragma once

#include <cstddef>
#include <cstdint>

// Sample handling of the loopback capture that does not depend on the platform.
namespace quorvane::host::PcmConversion {

// How a capture packet's samples are read.
enum class SampleLayout {
  Float32,      // 32-bit IEEE float, converted to 16 bits
  Int16,        // 16-bit integer, passed on as it is
  Unsupported,  // anything else: the packet is dropped
};

// Format tags of a wave format header.
inline constexpr uint16_t kFormatTagIeeeFloat = 0x0003;
inline constexpr uint16_t kFormatTagExtensible = 0xFFFE;

// Classifies a wave format. floatSubFormat tells whether an extensible format's
// sub-format is IEEE float; it is ignored for other tags.
SampleLayout classify(uint16_t formatTag, uint16_t bitsPerSample, bool floatSubFormat);

// Converts one float sample to 16 bits: clamped to [-1, 1], scaled by 32767 and
// truncated toward zero. NaN gives 0.
int16_t floatToInt16(float sample);

// Converts count samples from in to out.
void floatToInt16(const float* in, size_t count, int16_t* out);

}  // namespace quorvane::host::PcmConversion
