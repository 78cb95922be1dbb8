#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace quorvane::host {

template <typename Signature>
class CallbackSlot;

// One application callback of a server, which the application may assign on its own
// thread while the server's I/O thread calls it. Assigning swaps the function under a
// lock; a call takes a reference to the current function under the lock and runs it after
// releasing it, so no lock is held during a call. Calling an empty slot does nothing.
// Assignment and call may happen on any thread.
template <typename... Args>
class CallbackSlot<void(Args...)> {
 public:
  using Function = std::function<void(Args...)>;

  CallbackSlot() = default;
  CallbackSlot(const CallbackSlot&) = delete;
  CallbackSlot& operator=(const CallbackSlot&) = delete;

  CallbackSlot& operator=(Function function) {
    std::shared_ptr<const Function> next;
    if (function) next = std::make_shared<const Function>(std::move(function));
    {
      std::lock_guard lock(mutex);
      current.swap(next);
    }
    return *this;  // the previous function goes here, outside the lock
  }

  explicit operator bool() const { return load() != nullptr; }

  void operator()(Args... args) const {
    if (const auto function = load()) (*function)(std::forward<Args>(args)...);
  }

 private:
  std::shared_ptr<const Function> load() const {
    std::lock_guard lock(mutex);
    return current;
  }

  mutable std::mutex mutex;
  std::shared_ptr<const Function> current;
};

}  // namespace quorvane::host
