#include "encode/CodecHeaderStore.h"

#include <gtest/gtest.h>

#include <iterator>
#include <limits>
#include <vector>

namespace quorvane::host {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& part : parts) {
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

const Bytes kStart4 = {0, 0, 0, 1};
const Bytes kStart3 = {0, 0, 1};
const Bytes kSps = {0x67, 0x42, 0xC0, 0x1F, 0x8C, 0x8D};
const Bytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const Bytes kIdr = {0x65, 0x88, 0x84, 0x00, 0x33};
const Bytes kVps265 = {0x40, 0x01, 0x0C, 0x01};
const Bytes kSps265 = {0x42, 0x01, 0x01, 0x01, 0x60};
const Bytes kPps265 = {0x44, 0x01, 0xC1, 0x72};
const Bytes kHevcUnit =
    concat({kStart4, kVps265, kStart4, kSps265, kStart4, kPps265, kStart3, {0x26, 0x01, 0xAF}});

TEST(CodecHeaderStore, ExtractsParameterSetsFromOneAccessUnit) {
  const Bytes epSps = {0x67, 0x42, 0x00, 0x00, 0x03, 0x00, 0x01, 0x1F};  // with emulation prevention
  const Bytes sps2 = {0x67, 0x64, 0x00, 0x28};
  const Bytes cut = {0x67, 0x42, 0xC0};  // a truncated SPS
  struct Case {
    Bytes unit;
    bool hevc;
    Bytes sps, pps, vps;
    bool valid;
  };
  const Case cases[] = {
      // Both start code forms: the four-byte one's leading zero belongs to no set.
      {concat({kStart4, kSps, kStart4, kPps, kStart3, kIdr}), false, kSps, kPps, {}, true},
      {concat({kStart4, epSps, kStart4, kPps}), false, epSps, kPps, {}, true},              // kept verbatim
      {concat({kStart3, kSps, kStart3, sps2, kStart3, kIdr}), false, sps2, {}, {}, false},  // last wins
      {{0, 0, 1, 0x67}, false, {}, {}, {}, false},                                          // too short
      {concat({kStart4, kIdr, kStart3, {0x41, 0x9A, 0x02}}), false, {}, {}, {}, false},     // slices only
      {concat({kStart3, kIdr, {0x00, 0x00, 0x01, 0x67}}), false, {}, {}, {}, false},  // start in last 4 bytes
      {concat({kStart3, kIdr, kStart3, cut}), false, cut, {}, {}, false},  // stored as far as it goes
      {kHevcUnit, true, kSps265, kPps265, kVps265, true},
      {kHevcUnit, false, {}, {}, {}, false},  // as H.264: 0x40, 0x42, 0x44 are types 0, 2, 4
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(i);
    CodecHeaderStore store;
    store.extract(c.unit.data(), c.unit.size(), c.hevc);
    const CodecHeaders h = store.get();
    EXPECT_EQ(h.sps, c.sps);
    EXPECT_EQ(h.pps, c.pps);
    EXPECT_EQ(h.vps, c.vps);
    EXPECT_EQ(h.valid, c.valid);
  }
  CodecHeaderStore store;
  store.extract(nullptr, 100, false);
  EXPECT_FALSE(store.get().valid);
}

TEST(CodecHeaderStore, LaterUnitReplacesOnlyTheSetsItCarries) {
  CodecHeaderStore store;
  const Bytes first = concat({kStart4, kSps, kStart4, kPps, kStart3, kIdr});
  store.extract(first.data(), first.size(), false);
  const Bytes newPps = {0x68, 0xEE, 0x01};
  const Bytes ppsOnly = concat({kStart3, newPps, kStart3, kIdr});
  store.extract(ppsOnly.data(), ppsOnly.size(), false);
  const CodecHeaders h = store.get();
  EXPECT_EQ(h.sps, kSps);
  EXPECT_EQ(h.pps, newPps);
  EXPECT_TRUE(h.valid);
}

TEST(EncoderConfig, CodecTextAndRateArithmetic) {
  for (const char* text : {"hevc", "h265"}) {
    EXPECT_TRUE(isHevcCodec(text)) << text;
  }
  for (const char* text : {"HEVC", "H265", "h264", "hevc "}) {
    EXPECT_FALSE(isHevcCodec(text)) << text;
  }
  constexpr uint32_t kMax = std::numeric_limits<uint32_t>::max();
  EXPECT_EQ(kbpsToBitsPerSecond(20000), 20000000u);
  // Values whose bits per second do not fit 32 bits saturate instead of wrapping.
  EXPECT_EQ(kbpsToBitsPerSecond(5000000), kMax);
  EXPECT_EQ(vbvBufferBits(50000, 72), 694444u);
  EXPECT_EQ(vbvBufferBits(kMax, 1), kMax);
  EXPECT_EQ(vbvBufferBits(50000, 0), 0u);
  EXPECT_STREQ(encoderTypeName(EncoderType::QuickSync), "QuickSync");
  EXPECT_STREQ(encoderTypeName(static_cast<EncoderType>(7)), "Unknown");
}

}  // namespace
}  // namespace quorvane::host
