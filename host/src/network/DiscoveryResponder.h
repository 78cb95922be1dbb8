#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#endif

namespace quorvane::host {

// Answers "QUORVANE_DISCOVER" datagrams on UDP with the host's name and the TCP port of
// its signaling server, so that a headset can find the host on the local network.
class DiscoveryResponder {
 public:
#ifdef _WIN32
  using SocketHandle = SOCKET;
#else
  using SocketHandle = int;
#endif
  static constexpr uint16_t kDefaultUdpPort = 9877;

  // `port` is the port put into every reply; `udpPort` the one listened on (0 lets the
  // system choose, see udpPort()).
  DiscoveryResponder(const std::string& hostName, uint16_t port, uint16_t udpPort = kDefaultUdpPort);
  ~DiscoveryResponder();

  DiscoveryResponder(const DiscoveryResponder&) = delete;
  DiscoveryResponder& operator=(const DiscoveryResponder&) = delete;

  bool start();
  void stop();
  // The UDP port bound by start().
  uint16_t boundUdpPort() const { return boundPort; }

  // The reply datagram for this host name and port.
  static std::string buildResponse(const std::string& hostName, uint16_t port);

 private:
  void listenerThread();
  void handleDatagram(const char* data, size_t length, const void* sender);
  void sendResponse(const void* sender);

  std::string hostName;
  uint16_t port;
  uint16_t udpPort;
  SocketHandle socket;
  std::thread thread;
  std::atomic<bool> running{false};
  uint16_t boundPort = 0;
};

}  // namespace quorvane::host
