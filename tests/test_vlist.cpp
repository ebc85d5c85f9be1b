#include <gtest/gtest.h>

#include <vector>

#include "vlist/VList.h"

namespace {

// The walk every lookup of the service makes: reset, then exactly
// mNodeCount passes of get and step.
std::vector<int> walk(VList& list) {
    std::vector<int> seen;
    list.reset();
    for (int pass = 0; pass < list.mNodeCount; ++pass) {
        void* e = list.get();
        if (e != nullptr) {
            seen.push_back(*static_cast<int*>(e));
            list.step();
        }
    }
    return seen;
}

TEST(VList, EmptyList) {
    VList list;
    EXPECT_EQ(0, list.mNodeCount);
    list.reset();
    EXPECT_EQ(nullptr, list.mCurrent);
    EXPECT_EQ(nullptr, list.get());
    EXPECT_FALSE(list.step());
    EXPECT_TRUE(walk(list).empty());
}

TEST(VList, WalksInOrderAndAgainAfterReset) {
    int a = 1, b = 2, c = 3;
    VList list;
    list.add(&a);
    list.add(&b);
    list.add(&c);
    EXPECT_EQ(3, list.mNodeCount);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), walk(list));
    EXPECT_EQ(nullptr, list.get());  // cursor past the end after a full walk
    EXPECT_EQ((std::vector<int>{1, 2, 3}), walk(list));
}

TEST(VList, NeverDeletesItsElements) {
    int* owned = new int(7);
    {
        VList list;
        list.add(owned);
    }
    EXPECT_EQ(7, *owned);  // still alive; the sanitizer builds catch a double free
    delete owned;
}

TEST(VList, RefusesTheElementPast65535) {
    static int value = 0;
    VList list;
    for (int i = 0; i < 65535; ++i) {
        ASSERT_TRUE(list.add(&value));
    }
    EXPECT_EQ(65535, list.mNodeCount);
    EXPECT_FALSE(list.add(&value));
    EXPECT_EQ(65535, list.mNodeCount);  // not wrapped to 0
    EXPECT_EQ(65535u, walk(list).size());
}

}  // namespace
