// The framing of the client direction, fed in pieces cut at every point.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "network/MessageFramer.h"

using namespace quorvane::host;
using Messages = std::vector<std::vector<uint8_t>>;

TEST(MessageFramer, EverySplitGivesTheSameMessagesUntilALengthAboveTheLimit) {
  // A body as long as the limit, an empty message (skipped), a one-byte body, then a length above
  // the limit, which ends the stream; cut into three pieces at every pair of points.
  const std::vector<uint8_t> stream{3, 0, 0, 0, 1, 2, 3, 0, 0, 0, 0, 1, 0,
                                    0, 0, 9, 4, 0, 0, 0, 1, 0, 0, 0, 7};
  for (size_t a = 0; a <= stream.size(); ++a) {
    for (size_t b = a; b <= stream.size(); ++b) {
      MessageFramer framer(3);
      Messages got;
      auto status = MessageFramer::Status::Ok;
      size_t at = 0;
      for (const size_t end : {a, b, stream.size()}) {
        status = framer.feed(stream.data() + at, end - at,
                             [&](const uint8_t* body, size_t n) { got.emplace_back(body, body + n); });
        at = end;
      }
      EXPECT_EQ(got, (Messages{{1, 2, 3}, {9}})) << "cut at " << a << " and " << b;
      EXPECT_EQ(status, MessageFramer::Status::TooLarge);
    }
  }
}
