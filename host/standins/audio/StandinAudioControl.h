#pragma once

#include <windows.h>

#include <cstdint>

namespace quorvane::host {

// Steers the stand-in audio layer: a default endpoint that is missing for a while, capture
// clients whose calls fail, packets flagged silent; and counts what the capture got from it.
// Everything here is process-wide and thread-safe; reset() restores the defaults (an
// endpoint, every call passed through to the real client, nothing flagged) and the counts.
class StandinAudioControl {
 public:
  // The capture client's calls, in the order in which a packet takes them.
  enum class Call { GetNextPacketSize, GetBuffer, ReleaseBuffer, Count };

  struct Counts {
    uint64_t clientsOpened = 0;     // capture clients handed out
    uint64_t endpointsRefused = 0;  // default endpoint requests refused while it was missing
    uint64_t failedCalls = 0;       // calls that reported a failure they were told to
    uint64_t soundFrames = 0;       // frames of the packets handed out unflagged
    uint64_t silentFrames = 0;      // frames of the packets handed out flagged silent
  };

  // Every capture client open now is gone for good: from `from` on in the order above, each
  // of its calls reports code (the calls before it still reach the real client, which goes
  // on signalling). Clients opened later are not affected, unless `later` is set: then they
  // are gone as they open, until the next call of this.
  static void loseOpenClients(HRESULT code, Call from, bool later = false);
  // The next `times` calls of `call` by any client fail with code (negative: every call until
  // told otherwise; 0 clears it).
  static void failCalls(Call call, HRESULT code, int times);
  // While set there is no default endpoint.
  static void setEndpointMissing(bool missing);
  // Every nth packet handed out from now on is flagged silent (0: none).
  static void flagSilent(uint32_t everyNth);
  static void reset();
  static Counts counts();

  // Used by the stand-in itself.
  // A serial number for a capture client being handed out.
  static uint64_t clientOpened();
  // Whether an endpoint may be handed out (counts a refusal when not).
  static bool endpointAvailable();
  // The failure that client `serial`'s call is to report, or S_OK.
  static HRESULT failureFor(uint64_t serial, Call call);
  // Whether the packet being handed out is to be flagged silent; counts its frames either way.
  static bool packetHandedOut(uint32_t frames, bool alreadySilent);
};

}  // namespace quorvane::host
