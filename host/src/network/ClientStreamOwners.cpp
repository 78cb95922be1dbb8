#include "network/ClientStreamOwners.h"

namespace quorvane::host {

bool ClientStreamOwners::claim(uint8_t streamId, ClientKey client) {
  if (client == nullptr) return true;
  std::lock_guard lock(mutex);
  Entry& entry = entries[streamId];
  if (entry.ending) return false;
  entry.previous = entry.owner;
  entry.owner = client;
  entry.starting = true;
  return true;
}

void ClientStreamOwners::settle(uint8_t streamId, ClientKey client, bool started) {
  if (client == nullptr) return;
  std::lock_guard lock(mutex);
  Entry& entry = entries[streamId];
  if (entry.owner != client) return;
  if (!started) entry.owner = entry.previous;
  entry.previous = nullptr;
  entry.starting = false;
}

void ClientStreamOwners::stopped(uint8_t streamId) {
  std::lock_guard lock(mutex);
  Entry& entry = entries[streamId];
  entry.previous = nullptr;
  if (!entry.starting) entry.owner = nullptr;
}

std::vector<uint8_t> ClientStreamOwners::takeAll(ClientKey client) {
  std::vector<uint8_t> ids;
  if (client == nullptr) return ids;
  std::lock_guard lock(mutex);
  for (size_t id = 0; id < entries.size(); ++id) {
    Entry& entry = entries[id];
    if (entry.previous == client) entry.previous = nullptr;
    if (entry.owner != client) continue;
    entry.owner = nullptr;
    entry.previous = nullptr;
    entry.starting = false;
    entry.ending = true;
    ids.push_back(static_cast<uint8_t>(id));
  }
  return ids;
}

void ClientStreamOwners::release(uint8_t streamId) {
  std::lock_guard lock(mutex);
  entries[streamId].ending = false;
}

}  // namespace quorvane::host
