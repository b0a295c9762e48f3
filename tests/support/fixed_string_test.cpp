// The cache key: where its text lives, how it grows, and what it costs.
#include "support/fixed_string.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using Key = CFixedStringT<CStringT<char>, 128>;

// Counts heap allocations of the core, and refuses them while `refuse` is set.
int g_allocations = 0;
bool g_refuse = false;
bool CountAllocation(std::size_t) {
    ++g_allocations;
    return !g_refuse;
}

class FixedString : public ::testing::Test {
protected:
    void SetUp() override {
        g_allocations = 0;
        g_refuse = false;
        qc::platform::SetHeapAllocationHook(&CountAllocation);
    }
    void TearDown() override { qc::platform::SetHeapAllocationHook(nullptr); }
};

TEST_F(FixedString, KeysUpToTheInlineCapacityNeverTouchTheHeap) {
    for (int length = 0; length <= 128; ++length) {
        const std::string text(static_cast<std::size_t>(length), static_cast<char>('a' + length % 26));
        Key key(text.c_str());
        Key copy(key);
        Key assigned;
        assigned = copy;
        EXPECT_TRUE(key.IsInline() && copy.IsInline() && assigned.IsInline()) << length;
        EXPECT_EQ(assigned.GetLength(), length);
        EXPECT_EQ(std::string(assigned.GetString()), text);
    }
    EXPECT_EQ(g_allocations, 0);
}

TEST_F(FixedString, NullAndEmptyTextsGiveAnEmptyInlineKey) {
    Key fromNull(nullptr);
    Key fromEmpty("");
    for (const Key* key : {&fromNull, &fromEmpty}) {
        EXPECT_TRUE(key->IsEmpty());
        EXPECT_TRUE(key->IsInline());
        EXPECT_STREQ(key->GetString(), "");
        EXPECT_EQ(key->GetAllocLength(), 128);
    }
}

TEST_F(FixedString, LongerTextsMoveWholeToOneHeapBlock) {
    const std::string exact(128, 'x');
    EXPECT_TRUE(Key(exact.c_str()).IsInline());
    EXPECT_EQ(g_allocations, 0);

    const std::string text129(129, 'y');
    Key key129(text129.c_str());
    EXPECT_FALSE(key129.IsInline());
    EXPECT_EQ(key129.GetAllocLength(), 263);  // 128 doubled, then | 7
    EXPECT_EQ(key129.GetLength(), 129);
    EXPECT_EQ(std::string(key129.GetString()), text129);
    EXPECT_EQ(g_allocations, 1);

    const std::string text300(300, 'z');
    Key key300(text300.c_str());
    EXPECT_EQ(key300.GetAllocLength(), 303);
    EXPECT_EQ(std::string(key300.GetString()), text300);
}

TEST_F(FixedString, GrowthDoublesSmallBlocksAndAdds1024ToLargeOnes) {
    Key key(std::string(300, 'a').c_str());
    key = Key(std::string(2000, 'b').c_str());  // 303 doubled is too small: exactly 2000, | 7
    EXPECT_EQ(key.GetAllocLength(), 2007);
    key = Key(std::string(2500, 'c').c_str());  // above 1024: + 1024
    EXPECT_EQ(key.GetAllocLength(), 3031);
    EXPECT_EQ(std::string(key.GetString()), std::string(2500, 'c'));

    key = Key("short");  // a shorter text keeps the block
    EXPECT_EQ(key.GetAllocLength(), 3031);
    EXPECT_STREQ(key.GetString(), "short");
}

TEST_F(FixedString, CopiesNeverShareCharacters) {
    const std::string text = "user-name";
    Key first(text.c_str());
    Key second(text.c_str());
    EXPECT_NE(first.GetString(), second.GetString());
    EXPECT_NE(first.GetString(), text.c_str());

    Key longOne(std::string(200, 'q').c_str());
    Key longCopy(longOne);
    EXPECT_NE(longOne.GetString(), longCopy.GetString());
    EXPECT_FALSE(longCopy.IsInline());
    EXPECT_EQ(std::string(longCopy.GetString()), std::string(200, 'q'));
}

TEST_F(FixedString, SetStringMayReadFromItsOwnText) {
    Key key(std::string(120, 'a').append("tail").c_str());  // 124 chars, inline
    key.SetString(key.GetString() + 120, 4);
    EXPECT_STREQ(key.GetString(), "tail");

    // A source inside the block survives the block moving to the heap.
    Key grows(std::string(100, 'g').c_str());
    const Key& self = grows;
    grows = self;
    EXPECT_EQ(std::string(grows.GetString()), std::string(100, 'g'));
}

TEST_F(FixedString, FailuresRaiseAndLeaveNothingBehind) {
    g_refuse = true;
    try {
        Key key(std::string(129, 'f').c_str());
        FAIL() << "an unavailable heap must raise";
    } catch (const CAtlException& e) {
        EXPECT_EQ(static_cast<HRESULT>(e), E_OUTOFMEMORY);
    }
    g_refuse = false;

    Key key("kept");
    try {
        key.SetString(nullptr, 3);
        FAIL() << "a null text with a length must raise";
    } catch (const CAtlException& e) {
        EXPECT_EQ(e.m_hr, E_INVALIDARG);
    }
    EXPECT_STREQ(key.GetString(), "kept");
    key.SetString(nullptr, 0);
    EXPECT_TRUE(key.IsEmpty());
}

// The managers on their own: who owns a block and where it goes back.
TEST_F(FixedString, FixedManagerLendsHeapBlocksLockedAndResetsItsInlineBlock) {
    struct {
        CStringData header;
        char chars[129];
    } inlineBlock{};
    CFixedStringMgr manager(&inlineBlock.header, CProcessStringMgr::Instance());
    inlineBlock.header = {&manager, 0, 128, -1};

    EXPECT_EQ(manager.Allocate(128, 1), &inlineBlock.header);
    CStringData* heap = manager.Allocate(200, 1);
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(heap->pStringMgr, &manager);
    EXPECT_EQ(heap->nRefs, -1);
    EXPECT_EQ(heap->nAllocLength, 207);

    inlineBlock.header.nDataLength = 5;
    inlineBlock.chars[0] = 'x';
    manager.Free(heap);
    EXPECT_EQ(inlineBlock.header.nDataLength, 0);
    EXPECT_EQ(inlineBlock.chars[0], '\0');
    EXPECT_EQ(manager.Clone(), CProcessStringMgr::Instance());
}

TEST_F(FixedString, ProcessManagerSizesBlocksByTheCapacityRule) {
    CProcessStringMgr* manager = CProcessStringMgr::Instance();
    CStringData* block = manager->Allocate(8, 1);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->nAllocLength, 15);
    EXPECT_EQ(block->nRefs, 1);
    EXPECT_EQ(block->pStringMgr, manager);
    block = manager->Reallocate(block, 40, 1);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block->nAllocLength, 47);
    manager->Free(block);

    EXPECT_EQ(manager->Allocate(-1, 1), nullptr);
    manager->Free(manager->GetNilString());  // the empty block is static: ignored
    EXPECT_EQ(manager->GetNilString()->nDataLength, 0);
}

}  // namespace
