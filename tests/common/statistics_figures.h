// Everything an ICacheStatistics snapshot reports, read through its
// interface table in one go (from the object itself or through a proxy),
// and compared field by field.
#pragma once

#include "platform/platform.h"
#include "support/bstr.h"
#include "support/com_ref.h"

#include "QuorCache.h"

#include <gtest/gtest.h>

#include <string>

namespace qc::test {

struct StatisticsFigures {
    std::wstring name;
    LONG maxEntries = 0;
    LONG lifetimeMinutes = 0;
    LONG entries = 0;
    LONG peakEntries = 0;
    LONG size = 0;
    LONG peakSize = 0;
    LONG hits = 0;
    LONG misses = 0;
    double hitRatio = 0;
};

// `statistics` is what ICOMCache2::Statistics handed out.
inline StatisticsFigures ReadFigures(IDispatch* statistics) {
    StatisticsFigures figures;
    ComRef<ICacheStatistics> snapshot;
    EXPECT_EQ(statistics->QueryInterface(IID_ICacheStatistics, snapshot.ReceiveVoid()), S_OK);
    if (!snapshot) return figures;
    Bstr name;
    EXPECT_EQ(snapshot->get_Name(name.Receive()), S_OK);
    figures.name = name.Text();
    EXPECT_EQ(snapshot->get_MaxEntries(&figures.maxEntries), S_OK);
    EXPECT_EQ(snapshot->get_LifetimeMinutes(&figures.lifetimeMinutes), S_OK);
    EXPECT_EQ(snapshot->get_Entries(&figures.entries), S_OK);
    EXPECT_EQ(snapshot->get_PeakEntries(&figures.peakEntries), S_OK);
    EXPECT_EQ(snapshot->get_Size(&figures.size), S_OK);
    EXPECT_EQ(snapshot->get_PeakSize(&figures.peakSize), S_OK);
    EXPECT_EQ(snapshot->get_Hits(&figures.hits), S_OK);
    EXPECT_EQ(snapshot->get_Misses(&figures.misses), S_OK);
    EXPECT_EQ(snapshot->get_HitRatio(&figures.hitRatio), S_OK);
    return figures;
}

// Success, or every field that differs: EXPECT_TRUE(SameFigures(...)) reports
// the caller's line.
inline ::testing::AssertionResult SameFigures(const StatisticsFigures& actual, const StatisticsFigures& expected) {
    ::testing::Message differences;
    bool same = true;
    const auto compare = [&](const char* field, const auto& got, const auto& wanted) {
        if (got == wanted) return;
        same = false;
        differences << " " << field << " is " << got << ", not " << wanted << ";";
    };
    compare("Name", actual.name, expected.name);
    compare("MaxEntries", actual.maxEntries, expected.maxEntries);
    compare("LifetimeMinutes", actual.lifetimeMinutes, expected.lifetimeMinutes);
    compare("Entries", actual.entries, expected.entries);
    compare("PeakEntries", actual.peakEntries, expected.peakEntries);
    compare("Size", actual.size, expected.size);
    compare("PeakSize", actual.peakSize, expected.peakSize);
    compare("Hits", actual.hits, expected.hits);
    compare("Misses", actual.misses, expected.misses);
    compare("HitRatio", actual.hitRatio, expected.hitRatio);  // both from the same division
    if (same) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the statistics differ:" << differences;
}

}  // namespace qc::test
