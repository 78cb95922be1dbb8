#include <benchmark/benchmark.h>
#include <spdlog/spdlog.h>

#include <vector>

#include "audio/AudioFormatConverter.h"
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

// Format conversion alone of one 10 ms capture packet: 441 frames of 44.1 kHz stereo
// resampled, or 480 frames of 48 kHz 5.1 mixed down.
void BM_ConvertFormat10ms(benchmark::State& state) {
  const auto rate = static_cast<uint32_t>(state.range(0)), channels = static_cast<uint32_t>(state.range(1));
  const std::vector<float> tone = bench::floatTone(rate, channels);
  std::vector<int16_t> pcm(tone.size());
  PcmConversion::floatToInt16(tone.data(), tone.size(), pcm.data());
  AudioFormatConverter converter;
  const uint32_t frames = rate / 100;
  size_t at = 0;
  for (auto _ : state) {
    if ((at + frames) * channels > pcm.size()) at = 0;
    benchmark::DoNotOptimize(converter.convert(pcm.data() + at * channels, frames, rate, channels).data());
    at += frames;
  }
}
BENCHMARK(BM_ConvertFormat10ms)->Args({44100, 2})->Args({48000, 6})->Unit(benchmark::kMicrosecond);

// From a 10 ms capture callback with float samples (rate, channels) to the finished Opus
// packet: conversion to 16 bits, downmix and resampling, packetising, encoding. Counters:
// the callback's p50 and p99 and the cost per 10 ms packet as a share of one core.
void BM_CallbackToPacket(benchmark::State& state) {
  const auto rate = static_cast<uint32_t>(state.range(0)), channels = static_cast<uint32_t>(state.range(1));
  OpusAudioEncoder encoder;
  encoder.initialize(OpusConfig{});
  bench::PacketPath path(encoder);
  const std::vector<float> tone = bench::floatTone(rate, channels);
  const uint32_t frames = rate / 100;
  size_t at = 0;
  for (auto _ : state) {
    if ((at + frames) * channels > tone.size()) at = 0;
    path.pushFloat(tone.data() + at * channels, frames, rate, channels);
    at += frames;
  }
  double total = 0;
  for (double micros : path.callbackMicros) total += micros;
  const double perPacket = path.packets ? total / static_cast<double>(path.packets) : 0.0;
  state.counters["packets"] = static_cast<double>(path.packets);
  state.counters["p50_us"] = bench::quantile(path.callbackMicros, 0.5);
  state.counters["p99_us"] = bench::quantile(path.callbackMicros, 0.99);
  state.counters["core_pct"] = perPacket / 10000.0 * 100.0;
}
BENCHMARK(BM_CallbackToPacket)
    ->Args({48000, 2})
    ->Args({44100, 2})
    ->Args({48000, 6})
    ->Unit(benchmark::kMicrosecond);

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
