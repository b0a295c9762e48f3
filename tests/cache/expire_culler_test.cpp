// The expiry order: ascending expiry, entries without expiry at the tail,
// and a new entry ahead of those with the same expiry.
#include "cache/expire_culler.h"

#include <gtest/gtest.h>

#include <list>
#include <random>
#include <string>
#include <vector>

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

// Ties at the latest expiry, as the adds of one clock tick make them: each
// goes before the others, also when the run's first entry was removed, when
// the whole run went and an earlier one became the latest, and with entries
// that never expire behind them.
TEST(ExpiryOrder, TiesAtTheLatestExpiryGoBeforeTheirRun) {
    Node n{'N', 0, {}}, a{'a', 7, {}}, b{'b', 7, {}}, c{'c', 7, {}}, x{'X', 3, {}}, y{'Y', 9, {}}, z{'Z', 9, {}},
        d{'d', 7, {}}, s{'s', 7, {}}, m{'M', 0, {}};
    CExpireCuller<Node> culler;
    for (Node* node : {&n, &a, &b, &c}) culler.Add(node);
    EXPECT_EQ(Order(culler), "cbaN");
    culler.Add(&x);  // sooner than the run
    culler.Add(&m);
    EXPECT_EQ(Order(culler), "XcbaNM");
    culler.Remove(&c);  // the run's first entry
    culler.Add(&d);
    EXPECT_EQ(Order(culler), "XdbaNM");
    culler.Add(&y);
    culler.Add(&z);
    EXPECT_EQ(Order(culler), "XdbaZYNM");
    culler.Remove(&z);
    culler.Remove(&y);  // the latest run is gone: 7 is the latest again
    culler.Add(&s);
    EXPECT_EQ(Order(culler), "XsdbaNM");
    culler.Remove(&n);  // the first entry without expiry
    culler.Add(&y);
    EXPECT_EQ(Order(culler), "XsdbaYM");
}

// The order any sequence of adds and removals leaves is the one the rule
// gives when applied by a walk from the head.
TEST(ExpiryOrder, AgreesWithAWalkFromTheHeadOverRandomAddsAndRemovals) {
    std::mt19937 random(14);
    std::vector<Node> nodes(400);
    std::list<Node*> model;
    CExpireCuller<Node> culler;
    const auto listed = [&](const Node* node) {
        for (const Node* m : model)
            if (m == node) return true;
        return false;
    };
    for (int step = 0; step < 20000; ++step) {
        Node& node = nodes[random() % nodes.size()];
        if (listed(&node)) {
            culler.Remove(&node);
            model.remove(&node);
            continue;
        }
        const unsigned pick = random() % 8;
        node.m_expiry = pick == 0 ? 0 : 1 + random() % (pick < 4 ? 3 : 12);  // many ties
        culler.Add(&node);
        auto place = model.begin();
        if (node.m_expiry == 0)
            place = model.end();
        else
            while (place != model.end() && (*place)->m_expiry != 0 && (*place)->m_expiry < node.m_expiry) ++place;
        model.insert(place, &node);

        const Node* listedNode = culler.Soonest();
        for (const Node* expected : model) {
            ASSERT_EQ(listedNode, expected) << "step " << step;
            listedNode = CExpireCuller<Node>::Later(listedNode);
        }
        ASSERT_EQ(listedNode, nullptr) << "step " << step;
    }
}

// An expiry that counts how often the list reads it: the measure of the
// work an add does to find its place.
struct CountedExpiry {
    unsigned long long value;
    static inline long s_reads = 0;
    operator unsigned long long() const noexcept {  // NOLINT: compared as the plain value
        ++s_reads;
        return value;
    }
};

struct CountingNode {
    CountedExpiry m_expiry;
    CacheListLinks<CountingNode> m_expiryLinks;
};

// Adds that share one expiry find their place without passing the entries
// of that expiry, so a burst of them costs in proportion to its length.
TEST(ExpiryOrder, AnAddOfTheLatestExpiryDoesNotWalkItsRun) {
    constexpr int kAdds = 10000;
    std::vector<CountingNode> nodes(kAdds + 2);
    CExpireCuller<CountingNode> culler;
    nodes[0].m_expiry.value = 0;  // an entry without expiry at the tail
    culler.Add(&nodes[0]);
    CountedExpiry::s_reads = 0;
    for (int i = 1; i <= kAdds; ++i) {
        nodes[i].m_expiry.value = i <= kAdds / 2 ? 100 : 200;
        culler.Add(&nodes[i]);
        if (i % 1000 == 0) culler.Remove(&nodes[i]);  // now and then the run's first entry leaves
    }
    EXPECT_LT(CountedExpiry::s_reads, 8L * kAdds);

    // An add that expires sooner than every listed entry walks back from
    // the latest run over the earlier one: the count sees a walk.
    nodes[kAdds + 1].m_expiry.value = 50;
    CountedExpiry::s_reads = 0;
    culler.Add(&nodes[kAdds + 1]);
    EXPECT_GT(CountedExpiry::s_reads, kAdds / 2 - 10);
    EXPECT_EQ(culler.Soonest(), &nodes[kAdds + 1]);
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
