#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quorvane::host {

// How one single-client TCP channel behaves and what it logs. Each text is a format
// string with the arguments named beside it.
struct ChannelOptions {
  const char* listeningText;        // port
  const char* startFailedText;      // exception message
  const char* closingPreviousText;  // none
  const char* connectedText;        // address, port
  const char* configureFailedText;  // error message
  const char* disconnectedText;     // error message
  const char* tooLargeText;         // length
  const char* readErrorText;        // error message
  const char* sendFailedText;       // error message
  const char* ioErrorText;          // exception message
  const char* stoppedText;          // none

  int backlog = 1;
  // A new connection replaces the client before its options are set and its peer's
  // address is read, and stays the client when either fails. Otherwise the options are set
  // first, and a connection whose peer's address cannot be read is dropped, keeping the
  // current client.
  bool storeBeforeConfiguring = false;
  bool resetOnClose = false;  // SO_LINGER on with 0 s
  int sendBufferBytes = 0;    // 0 leaves the platform's size
  int receiveBufferBytes = 0;
  // A client that takes no byte for this long while packets wait for it is dropped.
  std::chrono::milliseconds sendTimeout{20000};
  // Bytes of packets that may wait for the client; a packet that would go beyond it is
  // refused, unless nothing waits (so a packet larger than this alone still goes).
  size_t backlogBytes = 0;
  // Largest accepted client message; 0 means the connection is never read.
  uint32_t maxMessageLength = 0;
};

}  // namespace quorvane::host
