#include "network/DiscoveryResponder.h"

#include <cstring>

#include <spdlog/spdlog.h>

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace quorvane::host {

namespace {

constexpr char kRequestMagic[] = "QUORVANE_DISCOVER";
constexpr size_t kRequestMagicLength = sizeof(kRequestMagic) - 1;
constexpr char kResponseMagic[] = "QUORVANE_HOST";
constexpr size_t kReceiveBuffer = 1024;

#ifdef _WIN32
constexpr DiscoveryResponder::SocketHandle kNoSocket = INVALID_SOCKET;
int lastError() { return ::WSAGetLastError(); }
void closeSocket(DiscoveryResponder::SocketHandle s) { ::closesocket(s); }
constexpr int kInterrupted = WSAEINTR;
constexpr int kConnectionReset = WSAECONNRESET;
constexpr int kMessageTooLong = WSAEMSGSIZE;
using AddressLength = int;
#else
constexpr DiscoveryResponder::SocketHandle kNoSocket = -1;
int lastError() { return errno; }
void closeSocket(DiscoveryResponder::SocketHandle s) { ::close(s); }
constexpr int kInterrupted = EINTR;
constexpr int kConnectionReset = ECONNRESET;
constexpr int kMessageTooLong = EMSGSIZE;
using AddressLength = socklen_t;
#endif

// Waits up to one second for a datagram; false on time-out or error.
bool waitReadable(DiscoveryResponder::SocketHandle s) {
#ifdef _WIN32
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval timeout{1, 0};
  return ::select(0, &readable, nullptr, nullptr, &timeout) > 0;
#else
  pollfd entry{s, POLLIN, 0};
  return ::poll(&entry, 1, 1000) > 0;
#endif
}

}  // namespace

DiscoveryResponder::DiscoveryResponder(const std::string& hostName, uint16_t port, uint16_t udpPort)
    : hostName(hostName), port(port), udpPort(udpPort), socket(kNoSocket) {}

DiscoveryResponder::~DiscoveryResponder() { stop(); }

std::string DiscoveryResponder::buildResponse(const std::string& hostName, uint16_t port) {
  std::string reply;
  reply.reserve(79);
  reply.append(kResponseMagic);
  reply.push_back('\0');
  reply.append(hostName);
  reply.push_back('\0');
  reply.append(std::to_string(port));
  reply.push_back('\0');
  return reply;
}

bool DiscoveryResponder::start() {
  if (running) {
    SPDLOG_WARN("Discovery responder already running");
    return true;
  }
#ifdef _WIN32
  // Normally done already by the networking library; counted, so harmless twice.
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
#endif
  socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (socket == kNoSocket) {
    SPDLOG_ERROR("Failed to create discovery socket: {}", lastError());
    return false;
  }
  const int on = 1;
  if (::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof(on)) != 0) {
    SPDLOG_WARN("Failed to set SO_REUSEADDR: {}", lastError());
  }
  if (::setsockopt(socket, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof(on)) != 0) {
    SPDLOG_WARN("Failed to set SO_BROADCAST: {}", lastError());
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(udpPort);
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    SPDLOG_ERROR("Failed to bind discovery socket to port {}: {}", udpPort, lastError());
    closeSocket(socket);
    socket = kNoSocket;
    return false;
  }
  AddressLength length = sizeof(address);
  boundPort = ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0
                  ? ntohs(address.sin_port)
                  : udpPort;
  running = true;
  thread = std::thread([this] { listenerThread(); });
  SPDLOG_INFO("Discovery responder started on UDP port {}", boundPort);
  return true;
}

void DiscoveryResponder::stop() {
  if (!running.exchange(false)) return;
    // Shutting the socket down wakes a waiting receive on Linux, where closing it would
    // not; elsewhere the wait ends within its one-second time-out. The socket is closed
    // only once the thread no longer uses it.
#ifdef _WIN32
  ::shutdown(socket, SD_BOTH);
#else
  ::shutdown(socket, SHUT_RDWR);
#endif
  if (thread.joinable()) thread.join();
  if (socket != kNoSocket) {
    closeSocket(socket);
    socket = kNoSocket;
  }
#ifdef _WIN32
  ::WSACleanup();
#endif
  SPDLOG_INFO("Discovery responder stopped");
}

void DiscoveryResponder::listenerThread() {
  // One byte more than is accepted, so that an over-long datagram shows.
  char buffer[kReceiveBuffer + 1];
  while (running) {
    if (!waitReadable(socket)) continue;
    sockaddr_in sender{};
    AddressLength senderLength = sizeof(sender);
#ifdef _WIN32
    const int received = ::recvfrom(socket, buffer, static_cast<int>(kReceiveBuffer - 1), 0,
                                    reinterpret_cast<sockaddr*>(&sender), &senderLength);
#else
    // MSG_TRUNC reports the datagram's real length, so that a truncated one is seen.
    const ssize_t received = ::recvfrom(socket, buffer, kReceiveBuffer - 1, MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&sender), &senderLength);
#endif
    if (!running) break;
    if (received > 0) {
      if (static_cast<size_t>(received) > kReceiveBuffer - 1) {  // over-long: reported, not answered
        SPDLOG_WARN("Discovery recvfrom error: {}", kMessageTooLong);
        continue;
      }
      handleDatagram(buffer, static_cast<size_t>(received), &sender);
      continue;
    }
    if (received == 0) {
      // An empty datagram: the call succeeded, so whatever error code an earlier call left
      // behind says nothing about it.
      SPDLOG_WARN("Discovery recvfrom error: 0");
      continue;
    }
    const int error = lastError();
    if (error != kInterrupted && error != kConnectionReset) {
      SPDLOG_WARN("Discovery recvfrom error: {}", error);
    }
  }
}

void DiscoveryResponder::handleDatagram(const char* data, size_t length, const void* sender) {
  if (length < kRequestMagicLength || std::memcmp(data, kRequestMagic, kRequestMagicLength) != 0) return;
  const auto* address = static_cast<const sockaddr_in*>(sender);
  char addressText[22] = {};
  ::inet_ntop(AF_INET, &address->sin_addr, addressText, sizeof(addressText));
  std::string clientName = "Unknown";
  if (length >= kRequestMagicLength + 2) {
    const char* name = data + kRequestMagicLength + 1;
    const size_t available = length - (kRequestMagicLength + 1);
    clientName.assign(name, strnlen(name, available));
  }
  SPDLOG_INFO("Discovery request from {} ({})", addressText, clientName);
  sendResponse(sender);
}

void DiscoveryResponder::sendResponse(const void* sender) {
  const std::string reply = buildResponse(hostName, port);
  if (::sendto(socket, reply.data(), static_cast<int>(reply.size()), 0, static_cast<const sockaddr*>(sender),
               sizeof(sockaddr_in)) < 0) {
    SPDLOG_ERROR("Failed to send discovery response: {}", lastError());
  }
}

}  // namespace quorvane::host
