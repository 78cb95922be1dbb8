#pragma once

#include <memory>
#include <vector>

#include "encode/EncoderBase.h"

namespace quorvane::host {

// Picks and creates the hardware encoder the machine offers. Stateless.
class EncoderFactory {
 public:
  // The encoders whose runtime library loads on this device's adapter: NVENC, then AMF.
  static std::vector<EncoderType> getAvailableEncoders(ID3D11Device* device);

  // An initialised encoder of the given type, or null.
  static std::unique_ptr<EncoderBase> createEncoder(EncoderType type, ID3D11Device* device,
                                                    const EncoderConfig& config);

  // The first available type of NVENC, AMF, QuickSync that initialises, or null.
  static std::unique_ptr<EncoderBase> createBestEncoder(ID3D11Device* device, const EncoderConfig& config);
};

}  // namespace quorvane::host
