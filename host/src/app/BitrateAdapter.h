#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace quorvane::host {

// Decides the video bitrate from the client's feedback: at most one decision a second, a
// fifth down when the round trip or the decoder is slow (never below 2000 kbps), a tenth
// up towards the target when both are quick. Holds the bitrate last decided and the time
// of that decision under its own lock, so feedback on the video channel's thread and a
// settings change on the main thread may meet; the later of two writes wins.
class BitrateAdapter {
 public:
  static constexpr uint32_t kMinimumKbps = 2000;
  static constexpr int64_t kMinimumSpacingNs = 1000000000;
  static constexpr uint16_t kCongestedDecodeMs = 30;  // above is congestion
  static constexpr uint16_t kCongestedRttMs = 50;
  static constexpr uint16_t kHeadroomDecodeMs = 15;  // below (and RTT below) is headroom
  static constexpr uint16_t kHeadroomRttMs = 20;

  // Steady-clock time in nanoseconds.
  using Clock = std::function<int64_t()>;

  struct Decision {
    uint32_t previousKbps;
    uint32_t bitrateKbps;
    uint32_t maxBitrateKbps;  // 1.5 times the bitrate, handed to the encoders with it
    bool congestion;          // lowered (true) or raised (false)
  };

  explicit BitrateAdapter(Clock clock = steadyNow);

  // One feedback record. `targetKbps` is the ceiling (the configured target bitrate).
  // Returns the new bitrate when it changed.
  std::optional<Decision> onFeedback(uint16_t rttMs, uint16_t decodeTimeMs, uint32_t targetKbps);

  // A new target from the user: adaptation goes on from it; the decision time is kept.
  void restartFrom(uint32_t bitrateKbps);

  // The bitrate last decided; 0 before the first feedback record or restart.
  uint32_t currentKbps() const;

  static int64_t steadyNow();

 private:
  Clock clock;
  mutable std::mutex mutex;
  uint32_t currentBitrate = 0;
  int64_t lastBitrateAdjust = 0;
};

}  // namespace quorvane::host
