// The discovery responder on loopback, with a UDP client written here.
#include <string>

#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>

#include "network/DiscoveryResponder.h"
#include "support/LogCapture.h"
#include "support/WaitFor.h"

using namespace quorvane::host;
using namespace quorvane::test;
using namespace std::string_literals;
namespace asio = boost::asio;

TEST(Discovery, RequestAndReplyBytes) {
  LogCapture log;
  DiscoveryResponder responder("Workstation", 9876, 0);
  ASSERT_TRUE(responder.start());
  ASSERT_TRUE(responder.start());  // already running: warns, no second socket
  EXPECT_TRUE(log.contains("Discovery responder already running"));

  asio::io_context io;
  asio::ip::udp::socket client(io, asio::ip::udp::v4());
  const auto send = [&](const std::string& bytes) {
    client.send_to(asio::buffer(bytes), {asio::ip::make_address_v4("127.0.0.1"), responder.boundUdpPort()});
  };
  const auto receive = [&] {  // the next reply, or nothing
    std::string buffer(2048, '\0');
    buffer.resize(waitFor([&] { return client.available() > 0; }) ? client.receive(asio::buffer(buffer)) : 0);
    return buffer;
  };
  const auto reply = "QUORVANE_HOST\0Workstation\09876\0"s;  // 31 bytes

  send("QUORVANE_DISCOVER");
  EXPECT_EQ(receive(), reply);
  EXPECT_TRUE(log.contains("Discovery request from 127.0.0.1 (Unknown)"));

  // Ignored: a wrong character, too short, and longer than 1023 bytes.
  send("QUORVANE_DISCOVEr");
  send("QUORVANE_DISCOVE");
  send("QUORVANE_DISCOVER" + std::string(1100, 'x'));
  send(std::string("QUORVANE_DISCOVER:Quest3\0tail", 29));
  EXPECT_EQ(receive(), reply);
  EXPECT_TRUE(log.contains("Discovery request from 127.0.0.1 (Quest3)"));
  send("QUORVANE_DISCOVER!");  // 18 bytes: still no name
  EXPECT_EQ(receive(), reply);
  EXPECT_EQ(log.count("(Unknown)"), 2u);
  EXPECT_EQ(log.count("Discovery request from"), 3u);
  EXPECT_FALSE(log.contains("Discovery recvfrom error"));

  responder.stop();
  responder.stop();
  EXPECT_EQ(log.count("Discovery responder stopped"), 1u);
  EXPECT_EQ(DiscoveryResponder::buildResponse("", 0), "QUORVANE_HOST\0\0\x30\0"s);  // port "0"
}
