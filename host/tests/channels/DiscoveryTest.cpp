#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>

#include "channels/ChannelTestSupport.h"
#include "network/DiscoveryResponder.h"

using quorvane::host::DiscoveryResponder;
using namespace quorvane::test;
namespace asio = boost::asio;

namespace {

class UdpClient {
 public:
  explicit UdpClient(uint16_t port) : target(asio::ip::make_address_v4("127.0.0.1"), port) {
    socket.open(asio::ip::udp::v4());
  }
  void send(const std::string& bytes) { socket.send_to(asio::buffer(bytes), target); }
  // The next datagram, or empty after the deadline.
  std::string receive() {
    std::string buffer(2048, '\0');
    size_t got = 0;
    bool done = false;
    socket.async_receive(asio::buffer(buffer), [&](const boost::system::error_code& error, size_t n) {
      got = error ? 0 : n;
      done = true;
    });
    io.restart();
    io.run_for(kWait);
    if (!done) {
      socket.cancel();
      io.restart();
      io.run();
    }
    buffer.resize(got);
    return buffer;
  }

 private:
  asio::io_context io;
  asio::ip::udp::socket socket{io};
  asio::ip::udp::endpoint target;
};

}  // namespace

TEST(Discovery, RequestAndReplyBytes) {
  LogCapture log;
  DiscoveryResponder responder("Workstation", 9876, 0);
  ASSERT_TRUE(responder.start());
  ASSERT_TRUE(responder.start());  // already running: warns, no second socket
  EXPECT_TRUE(log.contains("Discovery responder already running"));
  UdpClient client(responder.boundUdpPort());
  const std::string reply(
      "QUORVANE_HOST\0Workstation\0"
      "9876\0",
      31);

  client.send("QUORVANE_DISCOVER");
  EXPECT_EQ(client.receive(), reply);
  EXPECT_TRUE(log.contains("Discovery request from 127.0.0.1 (Unknown)"));

  // Ignored: a wrong character, too short, and longer than 1023 bytes.
  client.send("QUORVANE_DISCOVEr");
  client.send("QUORVANE_DISCOVE");
  client.send("QUORVANE_DISCOVER" + std::string(1100, 'x'));
  client.send(std::string("QUORVANE_DISCOVER:Quest3\0tail", 29));
  EXPECT_EQ(client.receive(), reply);
  EXPECT_TRUE(log.contains("Discovery request from 127.0.0.1 (Quest3)"));
  client.send("QUORVANE_DISCOVER!");  // 18 bytes: still no name
  EXPECT_EQ(client.receive(), reply);
  EXPECT_EQ(log.count("(Unknown)"), 2);
  EXPECT_EQ(log.count("Discovery request from"), 3);
  EXPECT_FALSE(log.contains("Discovery recvfrom error"));

  responder.stop();
  EXPECT_TRUE(log.contains("Discovery responder stopped"));
  responder.stop();
  EXPECT_EQ(log.count("Discovery responder stopped"), 1);
}

TEST(Discovery, ReplyLayout) {
  EXPECT_EQ(DiscoveryResponder::buildResponse("", 0), std::string("QUORVANE_HOST\0\0"
                                                                  "0\0",
                                                                  17));
  EXPECT_EQ(DiscoveryResponder::buildResponse("PC", 65535).size(), 13u + 1 + 2 + 1 + 5 + 1);
}
