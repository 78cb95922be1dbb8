#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <vector>

namespace quorvane::host {

// Which signaling client started each client stream that runs, so that the streams of a
// client that goes away can be stopped. A stream belongs to the client whose start request
// last took its id, until a stop request names the id (whoever sends it) or its client goes.
// Stream ids come round again after 255, so a later start may take an id over; the client
// that had it then no longer stops it.
//
// An id taken from a client that went stays blocked for new starts until its stop has been
// made, so that the stop of the old stream can never end a new one under the same id.
//
// Any thread; one mutex, held only inside these calls.
class ClientStreamOwners {
 public:
  // Identifies one connected client; null is no client and is never recorded.
  using ClientKey = const void*;

  // Before a start under `streamId` for `client`: takes the id, remembering its previous
  // owner until settle(). False (and nothing changes) while the id's stop for a client
  // that went is still being made.
  bool claim(uint8_t streamId, ClientKey client);
  // After the start: a stream that did not start goes back to its previous owner, unless
  // that one has gone meanwhile or the id was taken again.
  void settle(uint8_t streamId, ClientKey client, bool started);
  // A stop request named the id: it has no owner any more. A start in progress keeps it.
  void stopped(uint8_t streamId);
  // The client has gone: the ids it owned, in ascending order, each blocked until release().
  std::vector<uint8_t> takeAll(ClientKey client);
  // The stop of an id returned by takeAll() has been made.
  void release(uint8_t streamId);

 private:
  struct Entry {
    ClientKey owner = nullptr;
    ClientKey previous = nullptr;  // the owner before a start that has not settled
    bool starting = false;
    bool ending = false;  // being stopped for a client that went
  };

  std::mutex mutex;
  std::array<Entry, 256> entries{};
};

}  // namespace quorvane::host
