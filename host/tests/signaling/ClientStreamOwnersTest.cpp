// Which signaling client owns which stream, in the orders a conversation rarely reaches.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "network/ClientStreamOwners.h"

using quorvane::host::ClientStreamOwners;
using Ids = std::vector<uint8_t>;

TEST(ClientStreamOwners, TakeOversFailedRestartsStopsAndClientsThatWent) {
  ClientStreamOwners owners;
  const int clients[3] = {};  // told apart by address
  const void* const a = &clients[0];
  const void* const b = &clients[1];
  const void* const c = &clients[2];
  const auto start = [&](uint8_t id, const void* client, bool started) {
    if (!owners.claim(id, client)) return false;
    owners.settle(id, client, started);
    return true;
  };
  // A start that fails owns nothing; the id of a later start is taken over; a failed
  // restart gives the id back to its owner.
  ASSERT_TRUE(start(1, a, false) && start(2, a, true) && start(3, a, true) && start(4, a, true));
  ASSERT_TRUE(start(2, b, true) && start(3, c, false));
  owners.stopped(4);  // stopped, whoever asked
  EXPECT_EQ(owners.takeAll(a), (Ids{3}));
  EXPECT_EQ(owners.takeAll(a), Ids{});

  // Until its stop is made, the id of a client that went cannot be started again.
  EXPECT_FALSE(owners.claim(3, b));
  owners.release(3);
  ASSERT_TRUE(start(3, b, true));

  // A client that goes while another's start takes over its id: should that start fail,
  // the id is nobody's.
  ASSERT_TRUE(owners.claim(2, c));
  EXPECT_EQ(owners.takeAll(b), (Ids{3}));
  owners.release(3);
  owners.settle(2, c, false);
  EXPECT_EQ(owners.takeAll(b), Ids{});
  // A stop that comes while a start of the id runs leaves the id to that start.
  ASSERT_TRUE(owners.claim(5, c));
  owners.stopped(5);
  owners.settle(5, c, true);
  EXPECT_EQ(owners.takeAll(c), (Ids{5}));
  owners.release(5);

  // No client: nothing is recorded.
  ASSERT_TRUE(start(6, nullptr, true));
  EXPECT_EQ(owners.takeAll(nullptr), Ids{});
  EXPECT_EQ(owners.takeAll(a), Ids{});
}
