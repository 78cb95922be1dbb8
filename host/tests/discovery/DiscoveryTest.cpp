// The discovery responder on loopback, with a UDP client written here.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#include <unistd.h>
#endif

#include <boost/asio/ip/udp.hpp>
#include <gtest/gtest.h>

#include "network/DiscoveryResponder.h"
#include "support/LogCapture.h"
#include "support/WaitFor.h"

using namespace quorvane::host;
using namespace quorvane::test;
using namespace std::string_literals;
namespace asio = boost::asio;

namespace {

#ifndef _WIN32
std::atomic<bool> interruptTaken{false};
void takeInterrupt(int) { interruptTaken = true; }

// Interrupts the responder's wait for a datagram with a signal, so that the wait fails with
// EINTR and leaves that in errno on the listener's thread. The calling thread holds the
// signal off meanwhile, so the listener, the process's only other thread, takes it.
void interruptListenerWait() {
  struct sigaction action {};
  struct sigaction previous {};
  action.sa_handler = takeInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGUSR1, &action, &previous);
  sigset_t held;
  sigset_t before;
  sigemptyset(&held);
  sigaddset(&held, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &held, &before);
  interruptTaken = false;
  ::kill(::getpid(), SIGUSR1);
  EXPECT_TRUE(waitFor([] { return interruptTaken.load(); }));
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  sigaction(SIGUSR1, &previous, nullptr);
}
#endif

}  // namespace

TEST(Discovery, RequestsAreAnsweredAndOtherDatagramsIgnored) {
  LogCapture log;
  DiscoveryResponder responder("Workstation", 9876, 0);
  ASSERT_TRUE(responder.start());
  ASSERT_TRUE(responder.start());  // already running: no second socket
  asio::io_context io;
  asio::ip::udp::socket client(io, asio::ip::udp::v4());
  // Requests: the bare word, one with a client name after a separator byte, and one byte
  // too short to carry a name. Ignored: a wrong character, too short, longer than 1023 bytes.
  const asio::ip::udp::endpoint host(asio::ip::make_address_v4("127.0.0.1"), responder.boundUdpPort());
  for (const auto& datagram : {"QUORVANE_DISCOVER"s, "QUORVANE_DISCOVEr"s, "QUORVANE_DISCOVE"s,
                               "QUORVANE_DISCOVER" + std::string(1100, 'x'),
                               "QUORVANE_DISCOVER:Quest3\0tail"s, "QUORVANE_DISCOVER!"s})
    client.send_to(asio::buffer(datagram), host);
  for (int i = 0; i < 3; ++i) {
    std::string reply(2048, '\0');
    ASSERT_TRUE(waitFor([&] { return client.available() > 0; }));
    reply.resize(client.receive(asio::buffer(reply)));
    EXPECT_EQ(reply, "QUORVANE_HOST\0Workstation\09876\0"s);
  }
  EXPECT_EQ(client.available(), 0u);  // the last request was answered after every other datagram
  EXPECT_TRUE(log.contains("Discovery request from 127.0.0.1 (Quest3)"));
}

TEST(Discovery, LongestRequestAndClientNames) {
  LogCapture log;
  DiscoveryResponder responder("Host", 9876, 0);
  ASSERT_TRUE(responder.start());
  asio::io_context io;
  asio::ip::udp::socket client(io, asio::ip::udp::v4());
  const asio::ip::udp::endpoint host(asio::ip::make_address_v4("127.0.0.1"), responder.boundUdpPort());
  // A name needs 19 bytes or more; 1023 bytes are read, a longer datagram is reported, not answered.
  const std::string longName(1023 - 18, 'n');
  const std::string datagrams[] = {
      "QUORVANE_DISCOVER"s,        "QUORVANE_DISCOVER:"s,           "QUORVANE_DISCOVER:A"s,
      "QUORVANE_DISCOVER:\0name"s, "QUORVANE_DISCOVER:" + longName, "QUORVANE_DISCOVER:" + longName + "x",
      "QUORVANE_DISCOVER:end"s};
  for (const auto& datagram : datagrams) client.send_to(asio::buffer(datagram), host);
  for (int i = 0; i < 6; ++i) {
    std::string reply(2048, '\0');
    ASSERT_TRUE(waitFor([&] { return client.available() > 0; }));
    reply.resize(client.receive(asio::buffer(reply)));
    EXPECT_EQ(reply, "QUORVANE_HOST\0Host\09876\0"s);
  }
  EXPECT_EQ(client.available(), 0u);
#ifdef _WIN32
  const int tooLong = WSAEMSGSIZE;
#else
  const int tooLong = EMSGSIZE;
#endif
  const std::string request = "Discovery request from 127.0.0.1 (";
  auto lines = log.block(request + "Unknown)", request + "end)");
  std::replace(lines.begin(), lines.end(), request + longName + ")", request + "longest)");
  EXPECT_EQ(lines, (std::vector<std::string>{request + "Unknown)", request + "Unknown)", request + "A)",
                                             request + ")", request + "longest)",
                                             "Discovery recvfrom error: " + std::to_string(tooLong),
                                             request + "end)"}));
  EXPECT_TRUE(log.hasLine(spdlog::level::warn, "Discovery recvfrom error: " + std::to_string(tooLong)));
}

TEST(Discovery, AnEmptyDatagramIsReportedAndTheNextRequestAnswered) {
  LogCapture log;
  DiscoveryResponder responder("Host", 9876, 0);
  ASSERT_TRUE(responder.start());
  asio::io_context io;
  asio::ip::udp::socket client(io, asio::ip::udp::v4());
  const asio::ip::udp::endpoint host(asio::ip::make_address_v4("127.0.0.1"), responder.boundUdpPort());
#ifdef _WIN32
  const std::string tooLong = "Discovery recvfrom error: " + std::to_string(WSAEMSGSIZE);
#else
  const std::string tooLong = "Discovery recvfrom error: " + std::to_string(EMSGSIZE);
#endif
  // The listener's thread is first left with an error code that the empty datagram's report
  // must not take over: under Windows the over-long datagram's receive fails with one; here
  // it does not, and an interrupted wait leaves one instead.
  client.send_to(asio::buffer(std::string(1024, 'x')), host);
#ifndef _WIN32
  ASSERT_TRUE(waitFor([&] { return log.contains(tooLong); }));
  interruptListenerWait();
#endif
  client.send_to(asio::buffer(std::string()), host);
  client.send_to(asio::buffer("QUORVANE_DISCOVER"s), host);
  std::string reply(64, '\0');
  ASSERT_TRUE(waitFor([&] { return client.available() > 0; }));
  reply.resize(client.receive(asio::buffer(reply)));
  EXPECT_EQ(reply, "QUORVANE_HOST\0Host\09876\0"s);
  // Nothing was received from the empty one, and no error code belongs to it.
  EXPECT_EQ(log.block(tooLong, "Discovery request from 127.0.0.1 (Unknown)"),
            (std::vector<std::string>{tooLong, "Discovery recvfrom error: 0",
                                      "Discovery request from 127.0.0.1 (Unknown)"}));
  EXPECT_TRUE(log.hasLine(spdlog::level::warn, "Discovery recvfrom error: 0"));
}
