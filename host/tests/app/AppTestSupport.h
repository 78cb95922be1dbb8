#pragma once

// Helpers of the application tests: the settings file with free ports, and clients of the
// host's signaling server and channels whose every wait has a deadline.

#include <objbase.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "app/Settings.h"
#include "protocol/PacketHeader.h"
#include "support/WebSocketClient.h"

namespace quorvane::test {

// COM on the test's thread, apartment-threaded as the host's main thread has it.
struct ComApartment {
  ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComApartment() { CoUninitialize(); }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
};

// A port that nothing listens on right now.
inline uint16_t freePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::tcp::v4(), 0});
  return acceptor.local_endpoint().port();
}

// The host's settings file for one test: the given text (by default the defaults on free
// ports), with whatever was there put back afterwards.
class SettingsFile {
 public:
  SettingsFile() : path(host::Settings{}.getSettingsPath()) {
    std::ifstream in(path);
    if (in) {
      std::stringstream text;
      text << in.rdbuf();
      previous = text.str();
    }
    settings.setDefaults();
    settings.signalingPort = freePort();
    settings.videoPort = freePort();
    settings.audioPort = freePort();
    settings.inputPort = freePort();
  }
  ~SettingsFile() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    if (previous) write(*previous);
  }
  SettingsFile(const SettingsFile&) = delete;
  SettingsFile& operator=(const SettingsFile&) = delete;

  void save() { ASSERT_TRUE(settings.save()); }
  void write(const std::string& text) const { std::ofstream(path) << text; }

  host::Settings settings;
  const std::string path;

 private:
  std::optional<std::string> previous;
};

// A client of the signaling server that speaks JSON.
class SignalingClient : public WebSocketClient {
 public:
  explicit SignalingClient(uint16_t port) : WebSocketClient(port) {}

  void send(const nlohmann::json& message) { EXPECT_TRUE(WebSocketClient::send(message.dump())); }
  // The next message of that type (others are kept for later), or null when none came.
  nlohmann::json next(const std::string& type) {
    for (auto it = kept.begin(); it != kept.end(); ++it) {
      if ((*it)["type"] == type) {
        nlohmann::json found = *it;
        kept.erase(it);
        return found;
      }
    }
    while (const auto text = read()) {
      auto message = nlohmann::json::parse(*text);
      if (message["type"] == type) return message;
      kept.push_back(std::move(message));
    }
    return nullptr;
  }
  size_t countKept(const std::string& type) const {
    size_t n = 0;
    for (const auto& message : kept) n += message["type"] == type ? 1 : 0;
    return n;
  }

 private:
  std::vector<nlohmann::json> kept;
};

// One packet of the video or audio channel.
struct ChannelPacket {
  host::PacketHeader header;
  std::vector<uint8_t> payload;  // after the header
};

inline std::optional<ChannelPacket> readPacket(LoopbackClient& client) {
  const auto prefix = client.read(4);
  if (prefix.size() != 4) return std::nullopt;
  uint32_t length = 0;
  std::memcpy(&length, prefix.data(), 4);
  const auto body = client.read(length);
  if (body.size() != length || length < sizeof(host::PacketHeader)) return std::nullopt;
  ChannelPacket packet;
  std::memcpy(&packet.header, body.data(), sizeof(packet.header));
  packet.payload.assign(body.begin() + sizeof(packet.header), body.end());
  return packet;
}

// A record sent with its 32-bit length prefix.
template <typename Record>
void sendRecord(LoopbackClient& client, const Record& record, std::optional<uint8_t> type = std::nullopt) {
  std::vector<uint8_t> body;
  if (type) body.push_back(*type);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&record);
  body.insert(body.end(), bytes, bytes + sizeof(Record));
  const auto length = static_cast<uint32_t>(body.size());
  std::vector<uint8_t> message(4);
  std::memcpy(message.data(), &length, 4);
  message.insert(message.end(), body.begin(), body.end());
  client.write(message);
}

}  // namespace quorvane::test
