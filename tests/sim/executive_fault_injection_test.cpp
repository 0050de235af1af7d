// Allocation-failure injection: each mode, and the walk over every failure point of an operation.
#include "executive_fixture.h"

#include "sim/executive/fault_injection.h"
#include "sim/executive/pool.h"

#include <algorithm>
#include <vector>

namespace {

constexpr ULONG kTagA = 'AtsT';
constexpr ULONG kTagB = 'BtsT';

class ExecutiveFaultInjectionTest : public ExecutiveFixture {
protected:
    // Allocates `count` blocks with the tag, frees the ones that succeeded, and returns for each
    // request whether it succeeded.
    static std::vector<bool> Outcomes(int count, ULONG tag = kTagA)
    {
        std::vector<bool> outcomes;
        for (int i = 0; i < count; ++i) {
            PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 16, tag);
            outcomes.push_back(block != nullptr);
            if (block != nullptr) {
                ExFreePoolWithTag(block, tag);
            }
        }
        return outcomes;
    }
};

TEST_F(ExecutiveFaultInjectionTest, EachModeFailsExactlyTheRequestsItNames)
{
    const struct {
        const char* what;
        void (*install)();
        ULONG tag;
        std::vector<bool> outcomes;
    } rows[] = {
        {"the Nth request, once", [] { vexsim::FailNthAllocation(3); }, kTagA, {true, true, false, true, true}},
        {"the Nth and every later one", [] { vexsim::FailNthAllocation(2, vexsim::FailureRepeat::Persistent); }, kTagA,
         {true, false, false, false}},
        {"another tag than the chosen one", [] { vexsim::FailAllocationsWithTag(kTagB); }, kTagA, {true, true}},
        {"the chosen tag", [] { vexsim::FailAllocationsWithTag(kTagB); }, kTagB, {false, false}},
        {"random with no chance", [] { vexsim::FailAllocationsRandomly(7, 0.0); }, kTagA, {true, true, true, true}},
        {"random with certainty", [] { vexsim::FailAllocationsRandomly(7, 1.0); }, kTagA, {false, false, false, false}},
    };
    for (const auto& row : rows) {
        row.install();
        EXPECT_EQ(row.outcomes, Outcomes((int)row.outcomes.size(), row.tag)) << row.what;
        vexsim::ClearAllocationFailures();
        EXPECT_EQ(Outcomes(1), std::vector<bool>{true}) << "cleared after " << row.what;
    }
    vexsim::FailAllocationsWithTag(kTagB);
    EXPECT_TRUE(vexsim::ShouldFailAllocation(kTagB)) << "other allocators consult the same hook";
    vexsim::ClearAllocationFailures();

    ULONG64 requests = vexsim::AllocationRequestCount();
    ULONG64 total = vexsim::PoolAllocationTotal();
    ULONG64 injected = vexsim::InjectedFailureCount();
    vexsim::FailNthAllocation(1);
    (void)Outcomes(2);
    EXPECT_EQ(vexsim::InjectedFailureCount(), injected + 1);
    EXPECT_EQ(vexsim::AllocationRequestCount(), requests + 2) << "failed requests are counted too";
    EXPECT_EQ(vexsim::PoolAllocationTotal(), total + 1);
}

TEST_F(ExecutiveFaultInjectionTest, RandomModeIsReproducibleFromItsSeed)
{
    vexsim::FailAllocationsRandomly(42, 0.5);
    std::vector<bool> first = Outcomes(64);
    vexsim::FailAllocationsRandomly(42, 0.5);
    std::vector<bool> second = Outcomes(64);
    EXPECT_EQ(first, second);
    EXPECT_NE(std::count(first.begin(), first.end(), false), 0);
    EXPECT_NE(std::count(first.begin(), first.end(), true), 0);
}

TEST_F(ExecutiveFaultInjectionTest, BootClearsFailuresAndCounters)
{
    vexsim::FailAllocationsWithTag(kTagA);
    vexsim::FailNthAllocation(1, vexsim::FailureRepeat::Persistent);
    (void)Outcomes(1);
    vexsim::ExecutiveBoot(config);
    EXPECT_EQ(vexsim::AllocationRequestCount(), 0u);
    EXPECT_EQ(Outcomes(3), (std::vector<bool>{true, true, true}));
}

// An operation of three allocations that releases what it got when one fails, as driver code
// must: the walk fails each allocation in turn and the check sees the status and no leak.
struct ThreeBlocks {
    PVOID blocks[3] = {};
};

NTSTATUS BuildThreeBlocks(ThreeBlocks& out)
{
    for (PVOID& block : out.blocks) {
        block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTagA);
        if (block == nullptr) {
            for (PVOID& built : out.blocks) {
                if (built != nullptr) {
                    ExFreePoolWithTag(built, kTagA);
                    built = nullptr;
                }
            }
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return STATUS_SUCCESS;
}

void FreeThreeBlocks(ThreeBlocks& blocks)
{
    for (PVOID& block : blocks.blocks) {
        ExFreePoolWithTag(block, kTagA);
        block = nullptr;
    }
}

TEST_F(ExecutiveFaultInjectionTest, WalkFailsEveryAllocationPointOfAnOperationOnce)
{
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<ULONG64> visited;
    ULONG64 points = vexsim::ForEachAllocationFailure(
        [&status] {
            ThreeBlocks blocks;
            status = BuildThreeBlocks(blocks);
            if (NT_SUCCESS(status)) {
                FreeThreeBlocks(blocks);
            }
        },
        [&](ULONG64 failing) {
            visited.push_back(failing);
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "failing request " << failing;
            EXPECT_EQ(vexsim::LivePoolAllocationCount(kTagA), 0u) << "leak after failing request " << failing;
        });
    EXPECT_EQ(points, 3u);
    EXPECT_EQ(visited, (std::vector<ULONG64>{1, 2, 3}));
    EXPECT_EQ(vexsim::InjectedFailureCount(), 3u);
    EXPECT_EQ(Outcomes(1), std::vector<bool>{true}) << "the walk leaves no failure installed";
}

TEST_F(ExecutiveFaultInjectionTest, WalkExposesACleanupPathThatLeaks)
{
    // Forgets the first block when the second allocation fails.
    auto leaky = [] {
        PVOID first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
        PVOID second = first ? ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB) : nullptr;
        if (second != nullptr) {
            ExFreePoolWithTag(second, kTagB);
            ExFreePoolWithTag(first, kTagA);
        }
    };
    std::vector<ULONG64> leakingPoints;
    vexsim::ForEachAllocationFailure(leaky, [&](ULONG64 failing) {
        if (vexsim::LivePoolAllocationCount(kTagA) != 0) {
            leakingPoints.push_back(failing);
        }
    });
    EXPECT_EQ(leakingPoints, std::vector<ULONG64>{2});
}

}  // namespace

namespace {

// The nth handle reference from now fails with the chosen status, once; a valid handle otherwise
// always references its object.
TEST_F(ExecutiveFaultInjectionTest, TheNthHandleReferenceFailsOnce)
{
    UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\REGISTRY\\MACHINE");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    ASSERT_EQ(STATUS_SUCCESS, ZwOpenKey(&key, KEY_READ, &oa));
    vexsim::FailNthHandleReference(2, STATUS_INSUFFICIENT_RESOURCES);
    std::vector<NTSTATUS> statuses;
    for (int i = 0; i < 3; i++) {
        PVOID object = (PVOID)1;
        statuses.push_back(ObReferenceObjectByHandle(key, KEY_READ, nullptr, KernelMode, &object, nullptr));
        if (NT_SUCCESS(statuses.back())) {
            ObDereferenceObject(object);
        } else {
            EXPECT_EQ(nullptr, object);
        }
    }
    EXPECT_EQ((std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}), statuses);
    (void)ZwClose(key);
}

}  // namespace
