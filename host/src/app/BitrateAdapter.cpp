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

void BitrateAdapter::setTarget(uint32_t targetKbps) {
  std::lock_guard<std::mutex> lock(mutex);
  target = targetKbps;
}

void BitrateAdapter::retarget(uint32_t targetKbps, const TargetHandOver& handOver) {
  std::lock_guard<std::mutex> lock(mutex);
  target = targetKbps;
  currentBitrate = targetKbps;
  if (handOver) {
    handOver();
  }
}

std::optional<BitrateAdapter::Decision> BitrateAdapter::onFeedback(uint16_t rttMs, uint16_t decodeTimeMs,
                                                                   const DecisionHandOver& handOver) {
  std::lock_guard<std::mutex> lock(mutex);
  if (currentBitrate == 0) {
    currentBitrate = target;
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
  } else if (rttMs < kHeadroomRttMs && decodeTimeMs < kHeadroomDecodeMs && currentBitrate < target) {
    next = std::min(target, scaled(currentBitrate, 1.1f));
  }
  if (next == currentBitrate) {
    return std::nullopt;
  }
  const Decision decision{currentBitrate, next, scaled(next, 1.5f), congestion};
  if (handOver) {
    handOver(decision);
  }
  currentBitrate = next;
  lastBitrateAdjust = now;
  return decision;
}

uint32_t BitrateAdapter::currentKbps() const {
  std::lock_guard<std::mutex> lock(mutex);
  return currentBitrate;
}

}  // namespace quorvane::host
