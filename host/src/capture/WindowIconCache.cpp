#include "capture/WindowIconCache.h"

#include <unordered_set>
#include <utility>

namespace quorvane::host {

std::string WindowIconCache::iconBase64(const Key& key, const Convert& convert) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(key.window);
    if (it != entries_.end() && it->second.icon == key.icon && it->second.processId == key.processId) {
      return it->second.base64;
    }
  }
  // Converting takes a millisecond or more and may talk to other windows; another thread listing
  // at the same time may convert the same icon, which only costs the duplicate work.
  std::optional<std::string> base64 = convert();
  if (!base64) return {};
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.insert_or_assign(key.window, Entry{key.icon, key.processId, *base64});
  return std::move(*base64);
}

void WindowIconCache::retainOnly(const std::vector<HWND>& windows) {
  const std::unordered_set<HWND> listed(windows.begin(), windows.end());
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const auto& entry) { return !listed.contains(entry.first); });
}

size_t WindowIconCache::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace quorvane::host
