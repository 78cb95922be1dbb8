#include "StandinCaptureControl.h"

#include <array>
#include <atomic>
#include <mutex>
#include <utility>

namespace quorvane::host {

namespace {

struct Failure {
  HRESULT code = S_OK;
  int remaining = 0;
};

struct ControlState {
  std::mutex mutex;
  std::array<Failure, static_cast<size_t>(StandinCaptureControl::Step::Count)> failures{};
  bool supported = true;
  std::optional<SIZE> contentSize;
  bool timingHandlers = false;  // from the first takeHandlerMilliseconds on
  std::vector<double> handlerMilliseconds;
};

ControlState& state() {
  static ControlState instance;
  return instance;
}

std::atomic<int> workers{0};
std::atomic<uint64_t> raised{0};

}  // namespace

void StandinCaptureControl::failStep(Step step, HRESULT code, int times) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().failures[static_cast<size_t>(step)] = {code, times};
}

void StandinCaptureControl::setSupported(bool supported) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().supported = supported;
}

void StandinCaptureControl::overrideContentSize(std::optional<SIZE> size) {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().contentSize = size;
}

void StandinCaptureControl::reset() {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().failures = {};
  state().supported = true;
  state().contentSize.reset();
}

int StandinCaptureControl::runningWorkers() { return workers.load(); }

HRESULT StandinCaptureControl::takeFailure(Step step) {
  std::lock_guard<std::mutex> lock(state().mutex);
  Failure& failure = state().failures[static_cast<size_t>(step)];
  if (failure.remaining == 0) {
    return S_OK;
  }
  if (failure.remaining > 0) {
    --failure.remaining;
  }
  return failure.code;
}

bool StandinCaptureControl::supported() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().supported;
}

std::optional<SIZE> StandinCaptureControl::contentSizeOverride() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().contentSize;
}

void StandinCaptureControl::workerStarted() { ++workers; }
void StandinCaptureControl::workerEnded() { --workers; }
void StandinCaptureControl::frameRaised(double handlerMilliseconds) {
  ++raised;
  std::lock_guard<std::mutex> lock(state().mutex);
  if (state().timingHandlers && state().handlerMilliseconds.size() < 100000) {
    state().handlerMilliseconds.push_back(handlerMilliseconds);
  }
}

std::vector<double> StandinCaptureControl::takeHandlerMilliseconds() {
  std::lock_guard<std::mutex> lock(state().mutex);
  state().timingHandlers = true;
  return std::exchange(state().handlerMilliseconds, {});
}
uint64_t StandinCaptureControl::framesRaised() { return raised.load(); }

}  // namespace quorvane::host
