#include "StandinAudioControl.h"

#include <array>
#include <limits>
#include <mutex>

namespace quorvane::host {

namespace {

struct Failure {
  HRESULT code = S_OK;
  int remaining = 0;
};

struct ControlState {
  std::mutex mutex;
  uint64_t lostUpTo = 0;  // clients with serials up to this one are gone
  HRESULT lostCode = S_OK;
  StandinAudioControl::LostStream lostHow = StandinAudioControl::LostStream::Silent;
  std::array<Failure, static_cast<size_t>(StandinAudioControl::Call::Count)> failures{};
  bool endpointMissing = false;
  uint32_t silentEvery = 0;
  uint64_t packets = 0;
  StandinAudioControl::Counts counts;
};

ControlState& state() {
  static ControlState instance;
  return instance;
}

}  // namespace

void StandinAudioControl::loseOpenClients(HRESULT code, LostStream how, bool later) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().lostUpTo = later ? std::numeric_limits<uint64_t>::max() : state().counts.clientsOpened;
  state().lostCode = code;
  state().lostHow = how;
}

void StandinAudioControl::failCalls(Call call, HRESULT code, int times) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().failures[static_cast<size_t>(call)] = {code, times};
}

void StandinAudioControl::setEndpointMissing(bool missing) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().endpointMissing = missing;
}

void StandinAudioControl::flagSilent(uint32_t everyNth) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().silentEvery = everyNth;
  state().packets = 0;
}

void StandinAudioControl::reset() {
  std::lock_guard<std::mutex> lock(state().mutex);
  // Clients opened before the reset keep their serials; none of them counts as gone.
  const uint64_t opened = state().counts.clientsOpened;
  state().lostUpTo = opened;
  state().lostCode = S_OK;
  state().failures = {};
  state().endpointMissing = false;
  state().silentEvery = 0;
  state().packets = 0;
  state().counts = {};
  state().counts.clientsOpened = opened;
}

StandinAudioControl::Counts StandinAudioControl::counts() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().counts;
}

uint64_t StandinAudioControl::clientOpened() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return ++state().counts.clientsOpened;
}

bool StandinAudioControl::endpointAvailable() {
  std::lock_guard<std::mutex> lock(state().mutex);
  if (state().endpointMissing) {
    ++state().counts.endpointsRefused;
    return false;
  }
  return true;
}

HRESULT StandinAudioControl::lossOf(uint64_t serial, LostStream* how) {
  std::lock_guard<std::mutex> lock(state().mutex);
  const ControlState& s = state();
  if (serial > s.lostUpTo || s.lostCode == S_OK) {
    return S_OK;
  }
  if (how) {
    *how = s.lostHow;
  }
  return s.lostCode;
}

HRESULT StandinAudioControl::failureFor(uint64_t serial, Call call) {
  const HRESULT lost = lossOf(serial);
  if (FAILED(lost)) {
    return lost;
  }
  std::lock_guard<std::mutex> lock(state().mutex);
  ControlState& s = state();
  Failure& failure = s.failures[static_cast<size_t>(call)];
  if (failure.remaining == 0 || failure.code == S_OK) {
    return S_OK;
  }
  if (failure.remaining > 0) {
    --failure.remaining;
  }
  ++s.counts.failedCalls;
  return failure.code;
}

void StandinAudioControl::paddingQueried() {
  std::lock_guard<std::mutex> lock(state().mutex);
  ++state().counts.paddingQueries;
}

bool StandinAudioControl::packetHandedOut(uint32_t frames, bool alreadySilent) {
  std::lock_guard<std::mutex> lock(state().mutex);
  ControlState& s = state();
  const bool silent = alreadySilent || (s.silentEvery != 0 && ++s.packets % s.silentEvery == 0);
  (silent ? s.counts.silentFrames : s.counts.soundFrames) += frames;
  return silent;
}

}  // namespace quorvane::host
