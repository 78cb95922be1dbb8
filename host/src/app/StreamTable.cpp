#include "app/StreamTable.h"

namespace quorvane::host {

StreamTable::StreamTable(BusyChanged busyChanged) : busyChanged(std::move(busyChanged)) {}

bool StreamTable::heldByOther(uint8_t streamId, StreamOrigin origin) const {
  std::lock_guard<std::mutex> lock(mutex);
  const auto it = running.find(streamId);
  return it != running.end() && it->second != origin;
}

bool StreamTable::started(uint8_t streamId, StreamOrigin origin, uint32_t windowId, bool audioRunning) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto it = running.find(streamId);
  if (it != running.end() && it->second != origin) {
    return false;
  }
  const bool wasIdle = running.empty();
  running[streamId] = origin;
  if (wasIdle && busyChanged) {
    busyChanged(true);
  }
  if (origin == StreamOrigin::Client) {
    configFlags[streamId] = ConfigFlag{false, nextTicket++};
    streamWindows[streamId] = windowId;
  } else {
    // A control-window stream has no entries until its first size change; an earlier
    // control-window stream under this id may have left its configuration flag.
    configFlags.erase(streamId);
    streamWindows.erase(streamId);
  }
  if (audioRunning && !audioIsBound.load(std::memory_order_relaxed)) {
    audioStream.store(streamId, std::memory_order_relaxed);
    audioIsBound.store(true, std::memory_order_release);
  }
  return true;
}

void StreamTable::countDownLocked(uint8_t streamId) {
  running.erase(streamId);
  if (running.empty() && busyChanged) {
    busyChanged(false);
  }
  if (audioIsBound.load(std::memory_order_relaxed) &&
      audioStream.load(std::memory_order_relaxed) == streamId) {
    audioIsBound.store(false, std::memory_order_release);
  }
}

bool StreamTable::stopped(uint8_t streamId, StreamOrigin origin) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto it = running.find(streamId);
  if (it != running.end() && it->second != origin) {
    return false;
  }
  if (origin == StreamOrigin::Client) {
    configFlags.erase(streamId);
    streamWindows.erase(streamId);
  }
  if (it == running.end()) {
    return false;
  }
  countDownLocked(streamId);
  return true;
}

void StreamTable::endAll() {
  std::lock_guard<std::mutex> lock(mutex);
  const bool wasBusy = !running.empty();
  running.clear();
  configFlags.clear();
  streamWindows.clear();
  audioIsBound.store(false, std::memory_order_release);
  if (wasBusy && busyChanged) {
    busyChanged(false);
  }
}

std::size_t StreamTable::runningCount() const {
  std::lock_guard<std::mutex> lock(mutex);
  return running.size();
}

std::vector<uint8_t> StreamTable::clientStreamIds() const {
  std::lock_guard<std::mutex> lock(mutex);
  std::vector<uint8_t> ids;
  ids.reserve(streamWindows.size());
  for (const auto& entry : streamWindows) {
    ids.push_back(entry.first);
  }
  return ids;
}

std::optional<uint32_t> StreamTable::windowOf(uint8_t streamId) const {
  std::lock_guard<std::mutex> lock(mutex);
  const auto it = streamWindows.find(streamId);
  if (it == streamWindows.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::optional<StreamTable::PendingConfig> StreamTable::pendingConfig(uint8_t streamId) const {
  std::lock_guard<std::mutex> lock(mutex);
  const auto flag = configFlags.find(streamId);
  if (flag == configFlags.end() || flag->second.sent) {
    return std::nullopt;
  }
  const auto window = streamWindows.find(streamId);
  return PendingConfig{window == streamWindows.end() ? 0 : window->second, flag->second.ticket};
}

void StreamTable::configSent(uint8_t streamId, uint64_t ticket) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto flag = configFlags.find(streamId);
  if (flag != configFlags.end() && flag->second.ticket == ticket) {
    flag->second.sent = true;
  }
}

void StreamTable::resolutionChanged(uint8_t streamId) {
  std::lock_guard<std::mutex> lock(mutex);
  configFlags[streamId] = ConfigFlag{false, nextTicket++};
}

void StreamTable::unbindAudio() { audioIsBound.store(false, std::memory_order_release); }

}  // namespace quorvane::host
