#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <vector>

#include "audio/OpusEncoder.h"
#include "audio/PcmConversion.h"
#include "PacketPath.h"

namespace quorvane::host {
namespace {

// Cost of one 10 ms Opus packet (480 stereo frames) at a given complexity.
void BM_OpusEncode10ms(benchmark::State& state) {
  OpusAudioEncoder encoder;
  OpusConfig config;
  config.complexity = static_cast<uint32_t>(state.range(0));
  encoder.initialize(config);
  const std::vector<float> tone = bench::floatTone();
  std::vector<int16_t> pcm(tone.size());
  PcmConversion::floatToInt16(tone.data(), tone.size(), pcm.data());
  size_t at = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(encoder.encode(pcm.data() + at, 480));
    at = (at + 960) % pcm.size();
  }
}
BENCHMARK(BM_OpusEncode10ms)->Arg(0)->Arg(5)->Arg(10)->Unit(benchmark::kMicrosecond);

// Float to 16-bit conversion of one 10 ms capture packet.
void BM_ConvertFloatPacket(benchmark::State& state) {
  const std::vector<float> tone = bench::floatTone();
  std::vector<int16_t> out(960);
  for (auto _ : state) {
    PcmConversion::floatToInt16(tone.data(), 960, out.data());
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_ConvertFloatPacket);

// From a capture callback with float samples to the finished Opus packet(s), for
// capture packets of range(0) frames. The reported wait is that of a packet's oldest
// sample; the packets are pushed back to back, so it is the processing time alone.
void BM_CallbackToPacket(benchmark::State& state) {
  OpusAudioEncoder encoder;
  encoder.initialize(OpusConfig{});
  bench::PacketPath path(encoder);
  const std::vector<float> tone = bench::floatTone();
  const size_t chunk = static_cast<size_t>(state.range(0)) * 2;
  size_t at = 0;
  for (auto _ : state) {
    if (at + chunk > tone.size()) at = 0;
    path.pushFloat(tone.data() + at, chunk, bench::PacketPath::Clock::now());
    at += chunk;
  }
  double total = 0;
  for (auto wait : path.waits) total += std::chrono::duration<double, std::micro>(wait).count();
  state.counters["packets"] = static_cast<double>(path.waits.size());
  state.counters["wait_us"] = path.waits.empty() ? 0.0 : total / static_cast<double>(path.waits.size());
}
BENCHMARK(BM_CallbackToPacket)->Arg(480)->Arg(441)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvane::host

int main(int argc, char** argv) {
  spdlog::set_level(spdlog::level::warn);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
