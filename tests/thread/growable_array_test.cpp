// The worker table's storage: growth, order on removal, failed growth
// (the hard stop on an out-of-range read: growable_array_bounds_test.cpp).
#include "thread/growable_array.h"

#include <gtest/gtest.h>

namespace {

bool RefuseAll(std::size_t) { return false; }

TEST(GrowableArray, GrowsByDoublingZeroFillsAndKeepsOrderOnRemoval) {
    CGrowableArray<int> array;
    const int expectedCapacity[] = {1, 2, 4, 4, 8};
    for (int value = 1; value <= 5; ++value) {
        ASSERT_TRUE(array.Add(value * 10));
        EXPECT_EQ(array.GetCapacity(), expectedCapacity[value - 1]);
    }
    for (int index = 5; index < 8; ++index) EXPECT_EQ(array.GetData()[index], 0) << index;

    ASSERT_TRUE(array.RemoveAt(1));  // middle: the rest move down in order
    ASSERT_TRUE(array.RemoveAt(3));  // last: only the count drops
    EXPECT_FALSE(array.RemoveAt(3));
    EXPECT_FALSE(array.RemoveAt(-1));
    ASSERT_EQ(array.GetSize(), 3);
    EXPECT_EQ(array[0], 10);
    EXPECT_EQ(array[1], 30);
    EXPECT_EQ(array[2], 40);
    EXPECT_EQ(array.GetCapacity(), 8);

    array.RemoveAll();
    EXPECT_EQ(array.GetSize(), 0);
    EXPECT_EQ(array.GetCapacity(), 0);
    EXPECT_EQ(array.GetData(), nullptr);
}

TEST(GrowableArray, FailedGrowthLeavesTheArrayAsItWas) {
    CGrowableArray<int> array;
    ASSERT_TRUE(array.Add(7));
    ASSERT_TRUE(array.Add(8));
    const int* before = array.GetData();
    qc::platform::SetHeapAllocationHook(&RefuseAll);
    const bool added = array.Add(9);
    qc::platform::SetHeapAllocationHook(nullptr);
    EXPECT_FALSE(added);
    EXPECT_EQ(array.GetData(), before);
    EXPECT_EQ(array.GetSize(), 2);
    EXPECT_EQ(array.GetCapacity(), 2);
    EXPECT_EQ(array[1], 8);
}

}  // namespace
