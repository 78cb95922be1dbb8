#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace quorvane::host {

// Who started a stream: the headset client over signaling, or the person at the PC in
// the control window. Both number their streams from 1, so the same id can be asked for
// by both; a stream of one origin is never taken over or stopped by the other.
enum class StreamOrigin { Client, ControlWindow };

// The application's bookkeeping of running streams, guarded by one mutex (the
// application's stream lock; the capture orchestrator's lock, where held, comes first):
// - which stream ids run and with which origin, and so whether any
//   stream runs at all (the process priority is raised while one does). A stream counts
//   from its start until its stop, even when its capture ends earlier by itself (its
//   window closed): it keeps its tables and its audio until the stop;
// - for client streams, the captured window and whether the current encoder's stream
//   configuration has been sent;
// - which stream the audio packets are bound to, published as two atomics that the
//   audio capture thread reads without the lock.
//
// Nothing here calls out while holding the lock except `busyChanged`, which is called
// with the lock held so that raising and restoring the priority happen in the order of
// the starts and stops that decided them; it must not call back into the table.
class StreamTable {
 public:
  // Told true when the first stream starts and false when the last one ends.
  using BusyChanged = std::function<void(bool busy)>;

  explicit StreamTable(BusyChanged busyChanged);

  // Whether `streamId` runs under the other origin (a start or stop must then be refused).
  bool heldByOther(uint8_t streamId, StreamOrigin origin) const;

  // Records a started stream. A restart under the same id and origin replaces the entry
  // without counting the stream twice. A client stream gets its window and a fresh
  // "configuration not sent" flag; then audio is bound to it when audio runs and is free.
  // Returns false (and changes nothing) when the id runs under the other origin.
  bool started(uint8_t streamId, StreamOrigin origin, uint32_t windowId, bool audioRunning);

  // Records a stop. Returns false when the id was not running under that origin; only a
  // running stream counts down. A stop of the other origin's stream is refused and
  // changes nothing. Otherwise a client stop also forgets the stream's window and
  // configuration flag, and stopping the stream that carries the audio unbinds it.
  bool stopped(uint8_t streamId, StreamOrigin origin);

  // Every stream ends at once (the captures were shut down): the count drops to zero,
  // audio is unbound and the tables are emptied.
  void endAll();

  std::size_t runningCount() const;

  // Client streams: their ids, and the window of one.
  std::vector<uint8_t> clientStreamIds() const;
  std::optional<uint32_t> windowOf(uint8_t streamId) const;

  // Stream configuration bookkeeping. pendingConfig() answers, for a stream whose
  // configuration is still to be sent, its window id (0 for a stream without a window
  // entry) and a ticket; configSent() marks it sent unless the entry was renewed since
  // (a restart or a size change in between). resolutionChanged() asks for a new
  // configuration, creating the entry.
  struct PendingConfig {
    uint32_t windowId;
    uint64_t ticket;
  };
  std::optional<PendingConfig> pendingConfig(uint8_t streamId) const;
  void configSent(uint8_t streamId, uint64_t ticket);
  void resolutionChanged(uint8_t streamId);

  // Audio binding, read lock-free by the audio capture thread.
  bool audioBound() const { return audioIsBound.load(std::memory_order_acquire); }
  uint8_t audioStreamId() const { return audioStream.load(std::memory_order_relaxed); }
  void unbindAudio();

 private:
  struct ConfigFlag {
    bool sent;
    uint64_t ticket;
  };

  void countDownLocked(uint8_t streamId);

  BusyChanged busyChanged;
  mutable std::mutex mutex;
  std::unordered_map<uint8_t, StreamOrigin> running;
  std::unordered_map<uint8_t, ConfigFlag> configFlags;
  std::unordered_map<uint8_t, uint32_t> streamWindows;
  uint64_t nextTicket = 1;
  std::atomic<uint8_t> audioStream{0};
  std::atomic<bool> audioIsBound{false};
};

}  // namespace quorvane::host
