#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ISVCDecoder;

namespace quorvane::test {

// Decodes Annex-B H.264 access units to BGRA with the software decoder.
class TestDecoder {
 public:
  TestDecoder();
  ~TestDecoder();
  TestDecoder(const TestDecoder&) = delete;
  TestDecoder& operator=(const TestDecoder&) = delete;

  // True when the unit produced a picture; its pixels land in `bgra`.
  bool decode(const std::vector<uint8_t>& accessUnit, std::vector<uint8_t>& bgra, uint32_t& width,
              uint32_t& height);

  static double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);
  // The NAL unit types of an Annex-B unit, in order (H.264 numbering).
  static std::vector<int> nalTypes(const std::vector<uint8_t>& accessUnit);

 private:
  ISVCDecoder* decoder_ = nullptr;
};

}  // namespace quorvane::test
