#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "network/ClientStreamOwners.h"
#include "protocol/WindowInfo.h"

namespace quorvane::host {

// Turns one received signaling text into the application call it asks for and the
// reply for the asking client, and stops the streams of a client that has gone. Holds the
// application's callbacks, the stream-id counter and which client started which stream;
// safe to use from several threads at once. No lock is held while a callback runs.
class SignalingServerRequestHandler {
 public:
  using WindowListProvider = std::function<std::vector<protocol::WindowInfo>()>;
  using StreamStartCallback = std::function<bool(uint32_t windowId, uint8_t streamId)>;
  using StreamStopCallback = std::function<void(uint8_t streamId)>;
  using ClientConnectedCallback = std::function<void(const std::string& address)>;
  using WindowResizeCallback = std::function<bool(uint32_t windowId, uint32_t width, uint32_t height)>;
  using KeyframeRequestCallback = std::function<void(uint8_t streamId)>;

  // Address of the client that sent the text, or nothing when it has gone meanwhile.
  using SenderLookup = std::function<std::optional<std::string>()>;
  using ClientKey = ClientStreamOwners::ClientKey;

  void setWindowListProvider(WindowListProvider callback);
  void setStreamStartCallback(StreamStartCallback callback);
  void setStreamStopCallback(StreamStopCallback callback);
  void setClientConnectedCallback(ClientConnectedCallback callback);
  void setWindowResizeCallback(WindowResizeCallback callback);
  void setKeyframeRequestCallback(KeyframeRequestCallback callback);

  // The reply text for the sender, if the request has one. Throws (std::exception) on
  // text that is not JSON, on a "type" that is not a string, on request keys of the
  // wrong type or out of range, and whatever a callback throws. `client` identifies the
  // sender among the connected clients, so that its streams can be stopped when it goes;
  // null records nothing.
  std::optional<std::string> handle(const std::string& text, const SenderLookup& findSender,
                                    ClientKey client = nullptr);

  // The client has gone for good (its connection ended): every stream it started that is
  // still its own is stopped through the stream stop callback, as its stop request would
  // be. Returns those stream ids in the order stopped.
  std::vector<uint8_t> clientGone(ClientKey client);

 private:
  // Starts a stream for `client` under its new id, recording the client as its owner.
  bool startStream(const StreamStartCallback& callback, uint32_t windowId, uint8_t streamId,
                   ClientKey client);

  template <typename F>
  F copyOf(const F& callback) const {
    std::lock_guard lock(callbacksMutex);
    return callback;
  }

  // Callbacks may be set while the server already runs, so they are read under a lock
  // and called after it is released.
  mutable std::mutex callbacksMutex;
  WindowListProvider windowListProvider;
  StreamStartCallback onStreamStart;
  StreamStopCallback onStreamStop;
  ClientConnectedCallback onClientConnected;
  WindowResizeCallback onWindowResize;
  KeyframeRequestCallback onKeyframeRequest;

  // 1, 2, ... 255, 0, 1, ...; one id per stream start request, granted or not.
  std::atomic<uint8_t> nextStreamId{1};
  ClientStreamOwners owners;
};

}  // namespace quorvane::host
