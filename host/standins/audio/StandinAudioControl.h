#pragma once

#include <windows.h>

#include <cstdint>

namespace quorvane::host {

// Steers the stand-in audio layer: a default endpoint that is missing for a while, clients
// whose endpoint is lost, calls that fail, packets flagged silent; and counts what the
// capture got from it. Everything here is process-wide and thread-safe; reset() restores the
// defaults (an endpoint, every call passed through to the real client, nothing flagged) and
// the counts.
class StandinAudioControl {
 public:
  // The capture client's calls, in the order in which a packet takes them.
  enum class Call { GetNextPacketSize, GetBuffer, ReleaseBuffer, Count };

  // What a lost client's stream does until it is asked. Neither reports the loss on its
  // own: only a call on the client does.
  enum class LostStream {
    // Signals no more (as on Windows); every call of its clients reports the loss.
    Silent,
    // Goes on signalling with no packet to read (as Wine's sound driver does): the packet
    // size query succeeds with 0 frames, every other call reports the loss.
    SignalsEmpty,
  };

  struct Counts {
    uint64_t clientsOpened = 0;     // audio clients handed out
    uint64_t endpointsRefused = 0;  // default endpoint requests refused while it was missing
    uint64_t failedCalls = 0;       // calls that reported a failure that failCalls asked for
    uint64_t soundFrames = 0;       // frames of the packets handed out unflagged
    uint64_t silentFrames = 0;      // frames of the packets handed out flagged silent
    uint64_t paddingQueries = 0;    // padding queries of the audio clients
  };

  // Every audio client open now has lost its endpoint for good, with code, and its stream
  // behaves as `how` says. Clients opened later are not affected, unless `later` is set: then
  // they are lost as they open, until the next call of this.
  static void loseOpenClients(HRESULT code, LostStream how, bool later = false);
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
  // A serial number for an audio client being handed out.
  static uint64_t clientOpened();
  // Whether an endpoint may be handed out (counts a refusal when not).
  static bool endpointAvailable();
  // Whether client `serial` has lost its endpoint: the code its calls report (and how its
  // stream behaves), or S_OK.
  static HRESULT lossOf(uint64_t serial, LostStream* how = nullptr);
  // The failure that client `serial`'s capture call is to report, or S_OK: its loss, else
  // what failCalls asked for.
  static HRESULT failureFor(uint64_t serial, Call call);
  // Counts a padding query.
  static void paddingQueried();
  // Whether the packet being handed out is to be flagged silent; counts its frames either way.
  static bool packetHandedOut(uint32_t frames, bool alreadySilent);
};

}  // namespace quorvane::host
