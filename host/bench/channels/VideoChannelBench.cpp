// Throughput and delivery time of the video channel, against a plain blocking loopback
// socket that writes the same 20 header bytes and access unit with one gathered write.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <spdlog/spdlog.h>

#include "network/TcpTransportServer.h"

namespace asio = boost::asio;
using asio::ip::tcp;
using quorvane::host::TcpTransportServer;

namespace {

// Reads and discards everything on a connection, counting the bytes.
class Sink {
 public:
  explicit Sink(tcp::socket socket) : socket(std::move(socket)) {
    thread = std::thread([this] {
      std::vector<uint8_t> buffer(1 << 20);
      boost::system::error_code error;
      for (;;) {
        const size_t n = this->socket.read_some(asio::buffer(buffer), error);
        if (error) return;
        received.fetch_add(n, std::memory_order_release);
      }
    });
  }
  ~Sink() {
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    thread.join();
  }
  void waitFor(uint64_t total) const {
    while (received.load(std::memory_order_acquire) < total) {
    }
  }
  uint64_t total() const { return received.load(std::memory_order_acquire); }

 private:
  tcp::socket socket;
  std::atomic<uint64_t> received{0};
  std::thread thread;
};

// Either the video channel with a connected client, or a plain socket pair.
class Setup {
 public:
  explicit Setup(bool channel) {
    spdlog::set_level(spdlog::level::warn);
    if (channel) {
      server = std::make_unique<TcpTransportServer>(0);
      server->start();
      tcp::socket client(io);
      client.connect({asio::ip::make_address_v4("127.0.0.1"), server->localPort()});
      while (!server->isClientConnected()) std::this_thread::yield();
      sink = std::make_unique<Sink>(std::move(client));
    } else {
      tcp::acceptor acceptor(io, {asio::ip::make_address_v4("127.0.0.1"), 0});
      tcp::socket client(io);
      client.connect(acceptor.local_endpoint());
      plain = std::make_unique<tcp::socket>(acceptor.accept());
      plain->set_option(tcp::no_delay(true));
      sink = std::make_unique<Sink>(std::move(client));
    }
  }

  void send(const std::vector<uint8_t>& unit) {
    if (server) {
      server->sendVideoFrame(1, unit.data(), unit.size(), false);
    } else {
      const std::array<asio::const_buffer, 2> buffers{asio::buffer(header), asio::buffer(unit)};
      asio::write(*plain, buffers);
    }
  }

  Sink& client() { return *sink; }

 private:
  asio::io_context io;
  std::unique_ptr<TcpTransportServer> server;
  std::unique_ptr<tcp::socket> plain;
  std::array<uint8_t, 20> header{};
  std::unique_ptr<Sink> sink;  // last: goes before the context its socket lives on
};

void throughput(benchmark::State& state, bool channel) {
  Setup setup(channel);
  const std::vector<uint8_t> unit(static_cast<size_t>(state.range(0)), 0x42);
  for (auto _ : state) setup.send(unit);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(unit.size() + 20));
  setup.client().waitFor(static_cast<uint64_t>(state.iterations()) * (unit.size() + 20));
}

// From the call to the last byte read by the client, one frame at a time.
void delivery(benchmark::State& state, bool channel) {
  Setup setup(channel);
  const std::vector<uint8_t> unit(static_cast<size_t>(state.range(0)), 0x42);
  uint64_t expected = 0;
  for (auto _ : state) {
    expected += unit.size() + 20;
    setup.send(unit);
    setup.client().waitFor(expected);
  }
  state.SetBytesProcessed(static_cast<int64_t>(expected));
}

void BM_VideoChannelThroughput(benchmark::State& state) { throughput(state, true); }
void BM_PlainSocketThroughput(benchmark::State& state) { throughput(state, false); }
void BM_VideoChannelDelivery(benchmark::State& state) { delivery(state, true); }
void BM_PlainSocketDelivery(benchmark::State& state) { delivery(state, false); }

}  // namespace

BENCHMARK(BM_VideoChannelThroughput)->Arg(100 * 1000)->Arg(1000 * 1000)->UseRealTime();
BENCHMARK(BM_PlainSocketThroughput)->Arg(100 * 1000)->Arg(1000 * 1000)->UseRealTime();
BENCHMARK(BM_VideoChannelDelivery)->Arg(100 * 1000)->Arg(1000 * 1000)->UseRealTime();
BENCHMARK(BM_PlainSocketDelivery)->Arg(100 * 1000)->Arg(1000 * 1000)->UseRealTime();

BENCHMARK_MAIN();
