#include "encode/CodecHeaderStore.h"

#include <gtest/gtest.h>

#include <iterator>

namespace quorvane::host {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

TEST(CodecHeaderStore, KeepsTheLastParameterSetsOfEachUnit) {
  const Bytes start4 = {0, 0, 0, 1}, start3 = {0, 0, 1};
  const Bytes sps = {0x67, 0x42, 0xC0, 0x1F, 0x8C, 0x8D}, pps = {0x68, 0xCE, 0x3C, 0x80};
  const Bytes idr = {0x65, 0x88, 0x84, 0x00, 0x33};
  const Bytes epSps = {0x67, 0x42, 0x00, 0x00, 0x03, 0x00, 0x01, 0x1F};  // with emulation prevention
  const Bytes sps2 = {0x67, 0x64, 0x00, 0x28}, pps2 = {0x68, 0xEE, 0x01};
  const Bytes cut = {0x67, 0x42, 0xC0};  // a truncated SPS
  const Bytes vps = {0x40, 0x01, 0x0C, 0x01}, hSps = {0x42, 0x01, 0x01, 0x01, 0x60},
              hPps = {0x44, 0x01, 0xC1};
  const Bytes hevcUnit = concat({start4, vps, start4, hSps, start4, hPps, start3, {0x26, 0x01, 0xAF}});
  const Bytes avcUnit = concat({start4, sps, start4, pps, start3, idr});
  struct Case {
    std::vector<Bytes> units;  // extracted in turn
    Bytes sps, pps, vps;
    bool hevc, valid;
  };
  const Case cases[] = {
      // Both start code forms: the four-byte one's leading zero belongs to no set.
      {{avcUnit}, sps, pps, {}, false, true},
      {{concat({start4, epSps, start4, pps})}, epSps, pps, {}, false, true},             // kept verbatim
      {{concat({start3, sps, start3, sps2, start3, idr})}, sps2, {}, {}, false, false},  // last wins
      {{avcUnit, concat({start3, pps2, start3, idr})}, sps, pps2, {}, false, true},  // only what it carries
      {{{0, 0, 1, 0x67}}, {}, {}, {}, false, false},                                 // too short
      {{concat({start4, idr, start3, {0x41, 0x9A, 0x02}})}, {}, {}, {}, false, false},  // slices only
      {{concat({start3, idr, {0x00, 0x00, 0x01, 0x67}})}, {}, {}, {}, false, false},  // start in last 4 bytes
      {{concat({start3, idr, start3, cut})}, cut, {}, {}, false, false},  // stored as far as it goes
      // Start codes in the last bytes: one there starts nothing, and ends the unit before it only
      // from 4 bytes before the end (not a 3-byte one in the last 3); 5 bytes before the end it
      // starts a unit of one byte.
      {{concat({start3, sps, start4})}, sps, {}, {}, false, false},
      {{concat({start3, sps, start3})}, concat({sps, start3}), {}, {}, false, false},
      {{concat({start3, pps, start4, {0x67}})}, {0x67}, pps, {}, false, true},
      {{hevcUnit}, hSps, hPps, vps, true, true},
      {{hevcUnit}, {}, {}, {}, false, false},  // as H.264: 0x40, 0x42, 0x44 are types 0, 2, 4
  };

  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(i);
    CodecHeaderStore store;
    store.extract(nullptr, 100, cases[i].hevc);  // ignored
    for (const Bytes& unit : cases[i].units) {
      // Followed by bytes that would read as parameter sets, so that a scan past the end shows.
      const Bytes padded = concat({unit, {0x67, 0x68, 0x42, 0x44, 0x40}});
      store.extract(padded.data(), unit.size(), cases[i].hevc);
    }
    const CodecHeaders h = store.get();
    EXPECT_EQ(std::tie(h.sps, h.pps, h.vps, h.valid),
              std::tie(cases[i].sps, cases[i].pps, cases[i].vps, cases[i].valid));
  }
}

}  // namespace
}  // namespace quorvane::host
