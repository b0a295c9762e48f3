// The expiry order: ascending expiry, entries without expiry at the tail,
// and a new entry ahead of those with the same expiry.
#include "cache/expire_culler.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Node {
    char name;
    unsigned long long m_expiry;
    CacheListLinks<Node> m_expiryLinks;
};

std::string Order(const CExpireCuller<Node>& culler) {
    std::string names;
    for (const Node* node = culler.Soonest(); node != nullptr; node = CExpireCuller<Node>::Later(node))
        names += node->name;
    return names;
}

TEST(ExpiryOrder, SortsByExpiryWithNoExpiryLastAndNewBeforeEqual) {
    Node a{'A', 0, {}}, b{'B', 5, {}}, c{'C', 3, {}}, d{'D', 5, {}}, e{'E', 0, {}}, f{'F', 9, {}}, g{'G', 1, {}};
    CExpireCuller<Node> culler;
    for (Node* node : {&a, &b, &c, &d, &e, &f, &g}) culler.Add(node);
    EXPECT_EQ(Order(culler), "GCDBFAE");

    Node h{'H', 0xFFFFFFFFFFFFFFFFull, {}};  // compared unsigned: the latest time
    culler.Add(&h);
    EXPECT_EQ(Order(culler), "GCDBFHAE");

    culler.Remove(&d);
    culler.Remove(&g);
    culler.Remove(&e);
    EXPECT_EQ(Order(culler), "CBFHA");
    culler.Remove(&d);  // not on the list any more: nothing happens
    Node pending{'P', 4, {}};
    culler.Remove(&pending);  // never listed
    EXPECT_EQ(Order(culler), "CBFHA");
}

TEST(ExpiryOrder, AnEntryExpiresOnlyAfterItsTime) {
    EXPECT_FALSE(CExpireCuller<Node>::IsExpired(100, 100));
    EXPECT_TRUE(CExpireCuller<Node>::IsExpired(100, 101));
    EXPECT_FALSE(CExpireCuller<Node>::IsExpired(0, ~0ull));

    Node past{'X', 1, {}};
    Node never{'N', 0, {}};
    CExpireCuller<Node> culler;
    culler.Add(&never);
    EXPECT_EQ(culler.ExpiredHead(), nullptr);
    culler.Add(&past);
    culler.StartCull();
    EXPECT_EQ(culler.ExpiredHead(), &past);
    culler.Remove(&past);
    EXPECT_EQ(culler.ExpiredHead(), nullptr);
}

}  // namespace
