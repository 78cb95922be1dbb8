#pragma once

#include <cstddef>
#include <cstdint>

#include "network/CallbackSlot.h"
#include "network/ClientChannel.h"
#include "protocol/InputEvent.h"

namespace quorvane::host {

// The input channel: length-prefixed InputEvent records from the client, handed to
// onInputEvent on the server's I/O thread. Nothing is written back.
class TcpInputServer {
 public:
  static constexpr uint32_t kMaxClientMessage = 1024;

  explicit TcpInputServer(uint16_t port);
  ~TcpInputServer();

  TcpInputServer(const TcpInputServer&) = delete;
  TcpInputServer& operator=(const TcpInputServer&) = delete;

  bool start();
  void stop();
  bool isClientConnected() const;
  uint16_t localPort() const { return channel.localPort(); }

  // Assigned by the application at any time, also while the server runs.
  CallbackSlot<void(const InputEvent&)> onInputEvent;

 private:
  void handleCompleteMessage(const uint8_t* body, size_t size);

  ClientChannel channel;  // last: stopped before the callback goes
};

}  // namespace quorvane::host
