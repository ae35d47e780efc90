#include "recv_queue.h"

#include <gtest/gtest.h>

namespace telquin {
namespace {

TEST(RecvQueue, KeepsOneSlotFreeSoFullAndEmptyDiffer) {
  CRecvQueue q;
  for (int i = 0; i < CRecvQueue::kSize - 1; ++i) ASSERT_EQ(q.Push(static_cast<uint8_t>(i)), 1);
  EXPECT_EQ(q.Count(), 4095);
  EXPECT_EQ(q.Push(0xAA), 0);
  uint8_t b = 0;
  for (int i = 0; i < CRecvQueue::kSize - 1; ++i) {
    ASSERT_EQ(q.Pop(b), 1);
    ASSERT_EQ(b, static_cast<uint8_t>(i));
  }
  EXPECT_EQ(q.Pop(b), 0);
  EXPECT_EQ(q.Count(), 0);
}

TEST(RecvQueue, WrapsAroundInOrder) {
  CRecvQueue q;
  uint8_t b = 0;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 3000; ++i) ASSERT_EQ(q.Push(static_cast<uint8_t>(i * 7 + round)), 1);
    for (int i = 0; i < 3000; ++i) {
      ASSERT_EQ(q.Pop(b), 1);
      ASSERT_EQ(b, static_cast<uint8_t>(i * 7 + round));
    }
  }
  q.Push(1);
  q.Reset();
  EXPECT_EQ(q.Count(), 0);
  EXPECT_EQ(q.Pop(b), 0);
}

TEST(RecvQueue, ReadFitsOnlyWhenFreeSpaceExceedsIt) {
  CRecvQueue q;
  for (int i = 0; i < 3600; ++i) q.Push(0);
  EXPECT_FALSE(q.HasRoomFor(512));  // 4096 - 3600 = 496 is not greater
  EXPECT_FALSE(q.HasRoomFor(496));
  EXPECT_TRUE(q.HasRoomFor(495));
}

}  // namespace
}  // namespace telquin
