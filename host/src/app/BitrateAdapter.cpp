#include "app/BitrateAdapter.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace quorvane::host {

namespace {

uint32_t scaled(uint32_t kbps, float factor) {
  // Single precision, truncated, as the encoders have always been handed it.
  return static_cast<uint32_t>(static_cast<float>(kbps) * factor);
}

}  // namespace

BitrateAdapter::BitrateAdapter(Clock clock) : clock(std::move(clock)) {}

int64_t BitrateAdapter::steadyNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::optional<BitrateAdapter::Decision> BitrateAdapter::onFeedback(uint16_t rttMs, uint16_t decodeTimeMs,
                                                                   uint32_t targetKbps) {
  std::lock_guard<std::mutex> lock(mutex);
  if (currentBitrate == 0) {
    currentBitrate = targetKbps;
    lastBitrateAdjust = clock();
  }
  const int64_t now = clock();
  if (now - lastBitrateAdjust < kMinimumSpacingNs) {
    return std::nullopt;
  }

  uint32_t next = currentBitrate;
  const bool congestion = decodeTimeMs > kCongestedDecodeMs || rttMs > kCongestedRttMs;
  if (congestion) {
    // Never upwards: a bitrate already below the floor (a target under 2000 kbps in the
    // settings file) stays where it is.
    next = std::min(currentBitrate, std::max(scaled(currentBitrate, 0.8f), kMinimumKbps));
  } else if (rttMs < kHeadroomRttMs && decodeTimeMs < kHeadroomDecodeMs && currentBitrate < targetKbps) {
    next = std::min(targetKbps, scaled(currentBitrate, 1.1f));
  }
  if (next == currentBitrate) {
    return std::nullopt;
  }
  Decision decision{currentBitrate, next, scaled(next, 1.5f), congestion};
  currentBitrate = next;
  lastBitrateAdjust = now;
  return decision;
}

void BitrateAdapter::restartFrom(uint32_t bitrateKbps) {
  std::lock_guard<std::mutex> lock(mutex);
  currentBitrate = bitrateKbps;
}

uint32_t BitrateAdapter::currentKbps() const {
  std::lock_guard<std::mutex> lock(mutex);
  return currentBitrate;
}

}  // namespace quorvane::host
