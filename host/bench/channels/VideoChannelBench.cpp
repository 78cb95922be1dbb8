// The video channel against a plain blocking loopback socket that writes the same 20 header
// bytes and access unit with one gathered write: delivered throughput, delivery time of one
// frame, and how long the capture thread spends in sendVideoFrame while the client stalls.
#include <algorithm>
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
using Clock = std::chrono::steady_clock;

namespace {

// Reads and discards everything on a connection, counting the bytes; reading can be held
// back until a given time.
class Sink {
 public:
  explicit Sink(tcp::socket socket, Clock::time_point readFrom = {}) : socket(std::move(socket)) {
    thread = std::thread([this, readFrom] {
      std::this_thread::sleep_until(readFrom);
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
  // False when the bytes did not all come within ten seconds.
  bool waitFor(uint64_t total) const {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (received.load(std::memory_order_acquire) < total) {
      if (Clock::now() > deadline) return false;
    }
    return true;
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
  explicit Setup(bool channel, Clock::time_point readFrom = {}) {
    spdlog::set_level(spdlog::level::warn);
    if (channel) {
      server = std::make_unique<TcpTransportServer>(0);
      server->start();
      tcp::socket client(io);
      client.connect({asio::ip::make_address_v4("127.0.0.1"), server->localPort()});
      while (!server->isClientConnected()) std::this_thread::yield();
      sink = std::make_unique<Sink>(std::move(client), readFrom);
    } else {
      tcp::acceptor acceptor(io, {asio::ip::make_address_v4("127.0.0.1"), 0});
      tcp::socket client(io);
      client.connect(acceptor.local_endpoint());
      plain = std::make_unique<tcp::socket>(acceptor.accept());
      plain->set_option(tcp::no_delay(true));
      sink = std::make_unique<Sink>(std::move(client), readFrom);
    }
  }

  void send(const std::vector<uint8_t>& unit, bool key = false) {
    if (server) {
      server->sendVideoFrame(1, unit.data(), unit.size(), key);
    } else {
      const std::array<asio::const_buffer, 2> buffers{asio::buffer(header), asio::buffer(unit)};
      asio::write(*plain, buffers);
    }
  }

  Sink& client() { return *sink; }
  TcpTransportServer* channel() { return server.get(); }

 private:
  asio::io_context io;
  std::unique_ptr<TcpTransportServer> server;
  std::unique_ptr<tcp::socket> plain;
  std::array<uint8_t, 20> header{};
  std::unique_ptr<Sink> sink;  // last: goes before the context its socket lives on
};

// Batches of 64 frames, each timed until the client has read them all. The plain socket
// waits inside its write; the channel's caller offers a frame again while the backlog has no
// room for it (every frame a keyframe, so that one that did not fit holds nothing back).
void throughput(benchmark::State& state, bool channel) {
  Setup setup(channel);
  bool refused = false;
  if (channel) setup.channel()->onKeyframeRequest = [&](uint8_t) { refused = true; };
  const std::vector<uint8_t> unit(static_cast<size_t>(state.range(0)), 0x42);
  uint64_t sent = 0;
  for ([[maybe_unused]] auto _ : state) {
    for (int i = 0; i < 64; ++i) {
      do {
        refused = false;
        setup.send(unit, true);
      } while (refused);
      sent += unit.size() + 20;
    }
    if (!setup.client().waitFor(sent)) state.SkipWithError("frames were lost");
  }
  state.SetBytesProcessed(static_cast<int64_t>(sent));
}

// From the call to the last byte read by the client, one frame at a time.
void delivery(benchmark::State& state, bool channel) {
  Setup setup(channel);
  const std::vector<uint8_t> unit(static_cast<size_t>(state.range(0)), 0x42);
  uint64_t expected = 0;
  for ([[maybe_unused]] auto _ : state) {
    expected += unit.size() + 20;
    setup.send(unit);
    if (!setup.client().waitFor(expected)) state.SkipWithError("frames were lost");
  }
  state.SetBytesProcessed(static_cast<int64_t>(expected));
}

// A 120 fps stream of 200 kB frames, with a 1 MB keyframe whenever one is asked for, to a
// client that reads nothing for the first five seconds and then catches up: the longest
// and the 99th-percentile time of one sendVideoFrame call over the stall, and the frames
// that did not reach the client.
void BM_SendVideoFrameWhileClientStalls(benchmark::State& state) {
  const auto stall = std::chrono::seconds(5);
  for ([[maybe_unused]] auto _ : state) {
    const auto start = Clock::now();
    Setup setup(true, start + stall);
    std::atomic<bool> keyWanted{false};
    setup.channel()->onKeyframeRequest = [&](uint8_t) { keyWanted = true; };
    const std::vector<uint8_t> frame(200000, 0x42), keyframe(1000000, 0x24);
    std::vector<double> micros;
    auto next = start;
    while (Clock::now() < start + stall) {
      const bool key = keyWanted.exchange(false);
      const auto before = Clock::now();
      setup.send(key ? keyframe : frame, key);
      micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
      std::this_thread::sleep_until(next += std::chrono::microseconds(8333));
    }
    std::sort(micros.begin(), micros.end());
    state.counters["max_send_us"] = micros.back();
    state.counters["p99_send_us"] = micros[micros.size() * 99 / 100];
    state.counters["calls"] = static_cast<double>(micros.size());
    state.counters["client_connected"] = setup.channel()->isClientConnected();
  }
}

void BM_VideoChannelThroughput(benchmark::State& state) { throughput(state, true); }
void BM_PlainSocketThroughput(benchmark::State& state) { throughput(state, false); }
void BM_VideoChannelDelivery(benchmark::State& state) { delivery(state, true); }
void BM_PlainSocketDelivery(benchmark::State& state) { delivery(state, false); }

}  // namespace

BENCHMARK(BM_VideoChannelThroughput)->Arg(100000)->Arg(1000000)->UseRealTime();
BENCHMARK(BM_PlainSocketThroughput)->Arg(100000)->Arg(1000000)->UseRealTime();
BENCHMARK(BM_VideoChannelDelivery)->Arg(100000)->Arg(1000000)->UseRealTime();
BENCHMARK(BM_PlainSocketDelivery)->Arg(100000)->Arg(1000000)->UseRealTime();
BENCHMARK(BM_SendVideoFrameWhileClientStalls)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
