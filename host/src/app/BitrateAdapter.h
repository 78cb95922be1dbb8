#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace quorvane::host {

// Decides the video bitrate from the client's feedback: at most one decision a second, a
// fifth down when the round trip or the decoder is slow (never below 2000 kbps), a tenth
// up towards the target when both are quick. Owns the target, the bitrate last decided and
// the time of that decision under one lock. Feedback arrives on the video channel's
// thread (or the main thread through its poll) and a new target on the main thread; each
// hands its bitrate to the encoders under that same lock, so a decision and its
// hand-over are one step against a new target: the encoders always end on the value the
// adapter holds. The hand-overs run with the lock held and must not call back into the
// adapter; whatever locks they take come after this one.
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
  // Hands a new bitrate to the encoders; called with the adapter's lock held.
  using DecisionHandOver = std::function<void(const Decision&)>;
  using TargetHandOver = std::function<void()>;

  explicit BitrateAdapter(Clock clock = steadyNow);

  // The ceiling of adaptation as read at start-up; adaptation itself starts with the
  // first feedback record.
  void setTarget(uint32_t targetKbps);

  // A new target from the user: adaptation goes on from it (the decision time is kept),
  // and `handOver` passes it to the encoders before any feedback can decide again.
  void retarget(uint32_t targetKbps, const TargetHandOver& handOver);

  // One feedback record. When the bitrate changes, `handOver` gets the decision before
  // the lock is released; the decision is also returned.
  std::optional<Decision> onFeedback(uint16_t rttMs, uint16_t decodeTimeMs, const DecisionHandOver& handOver);

  // The bitrate last decided; 0 before the first feedback record or new target.
  uint32_t currentKbps() const;

  static int64_t steadyNow();

 private:
  Clock clock;
  mutable std::mutex mutex;
  uint32_t target = 0;
  uint32_t currentBitrate = 0;
  int64_t lastBitrateAdjust = 0;
};

}  // namespace quorvane::host
