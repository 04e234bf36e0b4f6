// The pull queue's take after rendering outside its lock: the record is taken only while it is
// still the one first in line.
#include "client/pull_queue.h"

#include <gtest/gtest.h>

namespace scanlink::client {
namespace {

scanlink_record Record(uint16_t code) {
  scanlink_record r{};
  r.code = code;
  return r;
}

TEST(PullQueue, ARecordLookedAtIsTakenOnlyIfStillFirstInLine) {
  PullQueue queue;
  ASSERT_TRUE(queue.SetCapacity(4));
  for (uint16_t code : {1, 2}) queue.PutRecord(Record(code));
  scanlink_record seen{}, taken{};
  uint64_t ticket = 0;
  ASSERT_EQ(queue.PeekRecord(seen, ticket, 0), PullQueue::Take::kTaken);
  EXPECT_EQ(seen.code, 1);
  // Another caller took it meanwhile: it is not taken twice, nor the next one in its place.
  ASSERT_EQ(queue.TakeRecord(taken, 0), PullQueue::Take::kTaken);
  EXPECT_FALSE(queue.TakeIfFirst(ticket));
  ASSERT_EQ(queue.PeekRecord(seen, ticket, 0), PullQueue::Take::kTaken);
  EXPECT_EQ(seen.code, 2);
  // Queueing switched off and on: what arrives then is another record.
  ASSERT_TRUE(queue.SetCapacity(0));
  ASSERT_TRUE(queue.SetCapacity(4));
  queue.PutRecord(Record(3));
  EXPECT_FALSE(queue.TakeIfFirst(ticket));
  ASSERT_EQ(queue.PeekRecord(seen, ticket, 0), PullQueue::Take::kTaken);
  EXPECT_EQ(seen.code, 3);
  EXPECT_TRUE(queue.TakeIfFirst(ticket));
  EXPECT_EQ(queue.PeekRecord(seen, ticket, 0), PullQueue::Take::kNone);
}

}  // namespace
}  // namespace scanlink::client
