// Generic tables against reference containers, with the driver-facing contract of the routines.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace {

struct Record {
    ULONG key;
    ULONG payload;
};

// Table context: what the routines asked of the driver's callbacks.
struct Calls {
    std::vector<CLONG> allocations;
    std::vector<PVOID> frees;
    std::set<PVOID> live;
    bool failNextAllocation = false;
    PVOID lastFirstCompared = nullptr;
};

Calls& CallsOf(PRTL_GENERIC_TABLE table)
{
    return *static_cast<Calls*>(table->TableContext);
}

RTL_GENERIC_COMPARE_RESULTS NTAPI CompareRecords(PRTL_GENERIC_TABLE table, PVOID first, PVOID second)
{
    CallsOf(table).lastFirstCompared = first;
    const ULONG a = static_cast<Record*>(first)->key;
    const ULONG b = static_cast<Record*>(second)->key;
    return a < b ? GenericLessThan : a > b ? GenericGreaterThan : GenericEqual;
}

PVOID NTAPI AllocateNode(PRTL_GENERIC_TABLE table, CLONG size)
{
    Calls& calls = CallsOf(table);
    calls.allocations.push_back(size);
    if (calls.failNextAllocation) {
        calls.failNextAllocation = false;
        return nullptr;
    }
    PVOID block = ::operator new(size);
    std::memset(block, 0xCD, size);  // the routines must initialise the header themselves
    calls.live.insert(block);
    return block;
}

VOID NTAPI FreeNode(PRTL_GENERIC_TABLE table, PVOID block)
{
    Calls& calls = CallsOf(table);
    calls.frees.push_back(block);
    ASSERT_EQ(calls.live.erase(block), 1u) << "free of a block the table never allocated";
    ::operator delete(block);
}

class GenericTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        static_assert(sizeof(RTL_GENERIC_TABLE) == 72, "x64 layout");
        RtlInitializeGenericTable(&table_, CompareRecords, AllocateNode, FreeNode, &calls_);
    }

    void TearDown() override
    {
        while (!RtlIsGenericTableEmpty(&table_)) {
            Record first = *static_cast<Record*>(RtlGetElementGenericTable(&table_, 0));
            ASSERT_TRUE(RtlDeleteElementGenericTable(&table_, &first));
        }
        EXPECT_TRUE(calls_.live.empty()) << "table leaked nodes";
    }

    Record* Insert(ULONG key, ULONG payload, BOOLEAN* isNew = nullptr)
    {
        Record record{key, payload};
        return static_cast<Record*>(RtlInsertElementGenericTable(&table_, &record, sizeof(record), isNew));
    }

    Record* Lookup(ULONG key)
    {
        Record probe{key, 0};
        return static_cast<Record*>(RtlLookupElementGenericTable(&table_, &probe));
    }

    RTL_GENERIC_TABLE table_;
    Calls calls_;
};

TEST_F(GenericTable, InsertAsksForSizePlusHeaderAndReturnsACopy)
{
    Record record{5, 50};
    BOOLEAN isNew = FALSE;
    auto* element = static_cast<Record*>(RtlInsertElementGenericTable(&table_, &record, sizeof(record), &isNew));
    ASSERT_NE(element, nullptr);
    EXPECT_TRUE(isNew);
    EXPECT_NE(element, &record);
    EXPECT_EQ(element->payload, 50u);
    ASSERT_EQ(calls_.allocations, (std::vector<CLONG>{sizeof(Record) + 40}));
    EXPECT_EQ(reinterpret_cast<PUCHAR>(element) - 40, *calls_.live.begin());
    EXPECT_EQ(RtlNumberGenericTableElements(&table_), 1u);
}

TEST_F(GenericTable, EqualKeyReturnsTheExistingElementWithoutAllocating)
{
    Record* first = Insert(5, 50);
    BOOLEAN isNew = TRUE;
    Record duplicate{5, 99};
    EXPECT_EQ(RtlInsertElementGenericTable(&table_, &duplicate, sizeof(duplicate), &isNew), first);
    EXPECT_FALSE(isNew);
    EXPECT_EQ(calls_.lastFirstCompared, &duplicate);  // the caller's buffer is compared first
    EXPECT_EQ(first->payload, 50u);
    EXPECT_EQ(calls_.allocations.size(), 1u);
}

TEST_F(GenericTable, AllocationFailureReturnsNullAndLeavesTheTableUnchanged)
{
    Insert(1, 10);
    Insert(3, 30);
    calls_.failNextAllocation = true;
    EXPECT_EQ(Insert(2, 20), nullptr);
    EXPECT_EQ(RtlNumberGenericTableElements(&table_), 2u);
    EXPECT_EQ(Lookup(2), nullptr);
    EXPECT_EQ(static_cast<Record*>(RtlGetElementGenericTable(&table_, 1))->key, 3u);
    ASSERT_NE(Insert(2, 20), nullptr);  // the next attempt succeeds
    EXPECT_EQ(RtlNumberGenericTableElements(&table_), 3u);
}

TEST_F(GenericTable, DeleteFreesTheNodeStart)
{
    Record* element = Insert(7, 70);
    Record probe{7, 0};
    EXPECT_TRUE(RtlDeleteElementGenericTable(&table_, &probe));
    ASSERT_EQ(calls_.frees.size(), 1u);
    EXPECT_EQ(calls_.frees[0], reinterpret_cast<PUCHAR>(element) - 40);
    EXPECT_FALSE(RtlDeleteElementGenericTable(&table_, &probe));
    EXPECT_TRUE(RtlIsGenericTableEmpty(&table_));
    EXPECT_EQ(RtlEnumerateGenericTable(&table_, TRUE), nullptr);
    EXPECT_EQ(RtlGetElementGenericTable(&table_, 0), nullptr);
}

// Random inserts, duplicate inserts, lookups and deletes against std::set (compare order) and a
// vector (insertion order: RtlGetElementGenericTable's indexes, which close up after a delete),
// checking every structure after each round.
TEST_F(GenericTable, AgreesWithReferenceContainersOnRandomKeys)
{
    std::mt19937 random(20260101);
    std::uniform_int_distribution<ULONG> keys(0, 5000);
    std::set<ULONG> ordered;
    std::vector<ULONG> insertion;

    auto check = [&]() {
        ASSERT_EQ(RtlNumberGenericTableElements(&table_), ordered.size());
        std::vector<ULONG> enumerated;
        for (PVOID element = RtlEnumerateGenericTable(&table_, TRUE); element != nullptr;
             element = RtlEnumerateGenericTable(&table_, FALSE)) {
            enumerated.push_back(static_cast<Record*>(element)->key);
        }
        ASSERT_EQ(enumerated, std::vector<ULONG>(ordered.begin(), ordered.end()));
        for (ULONG i = 0; i < insertion.size(); ++i) {
            // Forwards and backwards in turn, so that no cached position can stand in for the walk.
            for (ULONG index : {i, (ULONG)insertion.size() - 1 - i}) {
                ASSERT_EQ(static_cast<Record*>(RtlGetElementGenericTable(&table_, index))->key, insertion[index])
                    << "index " << index;
            }
        }
        ASSERT_EQ(RtlGetElementGenericTable(&table_, (ULONG)insertion.size()), nullptr);
        ASSERT_EQ(RtlGetElementGenericTable(&table_, MAXULONG), nullptr);
    };

    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 1500; ++i) {
            const ULONG key = keys(random);
            BOOLEAN isNew = FALSE;
            Record* element = Insert(key, key * 3, &isNew);
            ASSERT_NE(element, nullptr);
            ASSERT_EQ(element->key, key);
            ASSERT_EQ(static_cast<bool>(isNew), ordered.insert(key).second);
            if (isNew) {
                insertion.push_back(key);
            }
        }
        for (int i = 0; i < 1000; ++i) {
            const ULONG key = keys(random);
            Record* found = Lookup(key);
            ASSERT_EQ(found != nullptr, ordered.count(key) == 1) << key;
            if (found != nullptr) {
                ASSERT_EQ(found->payload, key * 3);
            }
        }
        for (int i = 0; i < 900; ++i) {
            const ULONG key = keys(random);
            Record probe{key, 0};
            ASSERT_EQ(static_cast<bool>(RtlDeleteElementGenericTable(&table_, &probe)), ordered.erase(key) == 1) << key;
            insertion.erase(std::remove(insertion.begin(), insertion.end(), key), insertion.end());
        }
        check();
    }
    EXPECT_EQ(calls_.live.size(), ordered.size());
}

TEST_F(GenericTable, EnumerationFollowsTheRootAfterASplay)
{
    for (ULONG key : {1u, 2u, 3u, 4u}) {
        Insert(key, 0);
    }
    EXPECT_EQ(static_cast<Record*>(RtlEnumerateGenericTable(&table_, TRUE))->key, 1u);
    Lookup(3);  // a lookup splays 3 to the root: enumeration continues after it
    EXPECT_EQ(static_cast<Record*>(RtlEnumerateGenericTable(&table_, FALSE))->key, 4u);
    EXPECT_EQ(RtlEnumerateGenericTable(&table_, FALSE), nullptr);
}

}  // namespace
