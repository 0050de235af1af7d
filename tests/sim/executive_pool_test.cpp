// Tagged pool: the ledger, the fill pattern, the unload report and every contract breach.
#include "executive_fixture.h"

#include "sim/executive/bugcheck.h"
#include "sim/executive/pool.h"

#include <algorithm>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr ULONG kTagVexR = 'RxeV';  // "VexR" in memory
constexpr ULONG kTagOther = 'rhtO';

class ExecutivePoolTest : public ExecutiveFixture {};

TEST_F(ExecutivePoolTest, LedgerRecordsEveryLiveAllocationInOrder)
{
    PVOID first = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagVexR);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 5000, kTagOther);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    std::vector<vexsim::PoolAllocation> live = vexsim::LivePoolAllocations();
    ASSERT_EQ(live.size(), 2u);
    EXPECT_EQ(live[0].address, first);
    EXPECT_EQ(live[0].tag, kTagVexR);
    EXPECT_EQ(live[0].size, 24u);
    EXPECT_EQ(live[0].type, NonPagedPoolNx) << "the pool type must be kept as requested";
    EXPECT_EQ(live[0].sequence, 1u);
    EXPECT_NE(live[0].caller, nullptr);
    EXPECT_EQ(live[1].type, NonPagedPool);
    EXPECT_EQ(live[1].sequence, 2u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % 16, 0u) << "small blocks are 16-byte aligned";
    EXPECT_EQ(reinterpret_cast<uintptr_t>(second) % 4096, 0u) << "blocks of a page or more are page-aligned";

    ExFreePoolWithTag(first, kTagVexR);
    EXPECT_EQ(vexsim::LivePoolAllocationCount(kTagVexR), 0u);
    EXPECT_EQ(vexsim::LivePoolAllocationCount(kTagOther), 1u);
    EXPECT_EQ(vexsim::PoolAllocationTotal(), 2u) << "the total counts frees too, not only live blocks";
    ExFreePoolWithTag(second, kTagOther);
    EXPECT_TRUE(vexsim::LivePoolAllocations().empty());
}

TEST_F(ExecutivePoolTest, FreshMemoryIsFilledAndOnlyTheZeroingWrapperZeroesIt)
{
    auto* fresh = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagVexR));
    auto* zeroed = static_cast<unsigned char*>(ExAllocatePoolZero(NonPagedPoolNx, 32, kTagVexR));
    ASSERT_NE(fresh, nullptr);
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(std::find(fresh, fresh + 64, 0), fresh + 64) << "a fresh block holds a zero byte";
    EXPECT_EQ(std::vector<unsigned char>(32, 0), std::vector<unsigned char>(zeroed, zeroed + 32));
    ExFreePoolWithTag(fresh, kTagVexR);
    ExFreePoolWithTag(zeroed, kTagVexR);
}

TEST_F(ExecutivePoolTest, LeftoversNameTagSizeAddressAndCaller)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagVexR);
    vexsim::Leftovers leftovers;
    vexsim::ExecutiveLeftovers(leftovers);
    ASSERT_EQ(leftovers.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        leftovers[0], std::regex("pool allocation of tag 'VexR', 24 bytes at 0x[0-9a-f]+, allocated by 0x[0-9a-f]+")))
        << leftovers[0];
    EXPECT_NE(leftovers[0].find(vexsim::FormatAddress(block)), std::string::npos);
    EXPECT_EQ(vexsim::FormatPoolTag(0x00006261), "ab\\x00\\x00") << "short and unprintable tags are escaped";

    ExFreePoolWithTag(block, kTagVexR);
    leftovers.clear();
    vexsim::ExecutiveLeftovers(leftovers);
    EXPECT_TRUE(leftovers.empty());
}

TEST_F(ExecutivePoolTest, BootReturnsEveryLiveBlockAndStartsAnEmptyLedger)
{
    ASSERT_NE(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagVexR), nullptr);
    vexsim::ExecutiveBoot(config);
    EXPECT_TRUE(vexsim::LivePoolAllocations().empty());
    EXPECT_EQ(vexsim::PoolAllocationTotal(), 0u);
}

struct PoolBreach {
    const char* what;
    std::function<void()> breach;
    const char* report;  // regular expression the stop report must match
};

TEST_F(ExecutivePoolTest, ContractBreachesStopTheMachine)
{
    const PoolBreach breaches[] = {
        {"free with another tag",
         [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagVexR), kTagOther); },
         "STOP: 0x000000C2 \\(0x000000000000000A, 0x[0-9A-F]{16}, 0x0000000052786556, 0x000000007268744F\\) "
         "BAD_POOL_CALLER: .*allocated with tag 'VexR' freed with tag 'Othr'"},
        {"double free",
         [] {
             PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagVexR);
             ExFreePoolWithTag(block, kTagVexR);
             ExFreePoolWithTag(block, kTagVexR);
         },
         "STOP: 0x000000C4 \\(0x0000000000000013, .*DRIVER_VERIFIER_DETECTED_VIOLATION: double free"},
        {"free of a foreign pointer",
         [] {
             static char notPool[16];
             ExFreePoolWithTag(notPool, kTagVexR);
         },
         "STOP: 0x000000C4 \\(0x0000000000000010, .*free of an address the pool never handed out"},
        {"free of NULL",
         [] { ExFreePoolWithTag(nullptr, kTagVexR); },
         "STOP: 0x000000C4 \\(0x0000000000000010, 0x0000000000000000"},
        {"zero-byte allocation",
         [] { (void)ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTagVexR); },
         "STOP: 0x000000C4 \\(0x0000000000000000, .*zero-byte pool allocation with tag 'VexR'"},
        {"tag zero",
         [] { (void)ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0); },
         "STOP: 0x000000C2 \\(0x000000000000009B, .*BAD_POOL_CALLER: pool allocation with tag 0"},
        {"non-paged allocation above DISPATCH_LEVEL",
         [] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL + 1, &old);
             (void)ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagVexR);
         },
         "STOP: 0x000000C4 \\(0x0000000000000002, 0x0000000000000003, .*above DISPATCH_LEVEL"},
        {"paged allocation at DISPATCH_LEVEL",
         [] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             (void)ExAllocatePoolWithTag(PagedPool, 8, kTagVexR);
         },
         "STOP: 0x000000C4 \\(0x0000000000000001, 0x0000000000000002, .*above APC_LEVEL"},
        {"non-paged free above DISPATCH_LEVEL",
         [] {
             PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagVexR);
             KIRQL old;
             KeRaiseIrql(HIGH_LEVEL, &old);
             ExFreePoolWithTag(block, kTagVexR);
         },
         "STOP: 0x000000C4 \\(0x0000000000000012, 0x000000000000000F, "},
    };
    for (const PoolBreach& row : breaches) {
        SCOPED_TRACE(row.what);
        EXPECT_DEATH(row.breach(), row.report);
    }
}

TEST_F(ExecutivePoolTest, NonPagedAllocationAtDispatchLevelIsAllowed)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagVexR);
    EXPECT_NE(block, nullptr);
    ExFreePoolWithTag(block, kTagVexR);
    KeLowerIrql(old);
}

}  // namespace
