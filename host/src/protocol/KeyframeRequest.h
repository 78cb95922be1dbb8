#pragma once

#include <cstdint>

namespace quorvane::host {

// A video-channel client message asking for a keyframe of one stream.
struct KeyframeRequest {
  uint8_t streamId = 0;
};

}  // namespace quorvane::host
