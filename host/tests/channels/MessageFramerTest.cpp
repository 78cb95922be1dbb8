// The framing of the client direction, fed in fixed pieces.
#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "network/MessageFramer.h"
#include "network/TcpInputServer.h"
#include "network/TcpTransportServer.h"

using namespace quorvane::host;
using Messages = std::vector<std::vector<uint8_t>>;

TEST(MessageFramer, EverySplitOfPrefixesAndBodiesGivesTheSameMessages) {
  // A body, an empty message (skipped) and a one-byte body, cut into three pieces at every
  // pair of points.
  const std::vector<uint8_t> stream{3, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 1, 0, 0, 0, 9};
  for (size_t a = 0; a <= stream.size(); ++a) {
    for (size_t b = a; b <= stream.size(); ++b) {
      MessageFramer framer(16);
      Messages got;
      size_t at = 0;
      for (const size_t end : {a, b, stream.size()}) {
        framer.feed(stream.data() + at, end - at,
                    [&](const uint8_t* body, size_t n) { got.emplace_back(body, body + n); });
        at = end;
      }
      EXPECT_EQ(got, (Messages{{1, 2, 3}, {9}})) << "cut at " << a << " and " << b;
    }
  }
}

TEST(MessageFramer, ALengthAboveTheChannelsLimitEndsTheStream) {
  for (const auto& [limit, expected] : {std::pair{TcpTransportServer::kMaxClientMessage, 4194304u},
                                        std::pair{TcpInputServer::kMaxClientMessage, 1024u}}) {
    MessageFramer framer(limit);
    std::vector<uint8_t> stream{uint8_t(expected), uint8_t(expected >> 8), uint8_t(expected >> 16), 0};
    stream.resize(4 + expected, 7);
    const uint32_t over = expected + 1;
    stream.insert(stream.end(), {uint8_t(over), uint8_t(over >> 8), uint8_t(over >> 16), 0, 1, 0, 0, 0, 5});
    std::vector<size_t> sizes;
    const auto collect = [&](const uint8_t*, size_t n) { sizes.push_back(n); };
    EXPECT_EQ(framer.feed(stream.data(), stream.size(), collect), MessageFramer::Status::TooLarge);
    EXPECT_EQ(framer.rejectedLength(), over);
    EXPECT_EQ(framer.feed(stream.data(), 5, collect), MessageFramer::Status::TooLarge);
    EXPECT_EQ(sizes, std::vector<size_t>{expected});
  }
}
