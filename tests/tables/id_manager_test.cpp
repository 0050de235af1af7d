// Identifier manager: issue order, reuse oldest-released first, ignored releases, the lost
// identifier of a failed release, and the debugger lines.
#include "tables/id_manager.h"

#include "tests/support/machine_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

namespace {

class IdManagerTest : public vextest::DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        loadedAllocations_ = vexsim::LivePoolAllocationCount(VEXR_TAG);
    }
    std::vector<ULONG> Issue(int count)
    {
        std::vector<ULONG> ids;
        for (int i = 0; i < count; i++) {
            ids.push_back(IssueId());
        }
        return ids;
    }
    // VexR allocations beyond those start-up made (the built-in lists).
    size_t ReleasedRecords() const { return vexsim::LivePoolAllocationCount(VEXR_TAG) - loadedAllocations_; }
    size_t loadedAllocations_ = 0;
};

TEST_F(IdManagerTest, ReusesReleasedIdentifiersOldestFirstBeforeNewOnes)
{
    EXPECT_EQ((std::vector<ULONG>{0, 1, 2}), Issue(3));
    EXPECT_EQ(STATUS_SUCCESS, ReleaseId(1));
    EXPECT_EQ(STATUS_SUCCESS, ReleaseId(0));
    EXPECT_EQ((std::vector<ULONG>{1, 0, 3}), Issue(3));
    EXPECT_EQ(0u, ReleasedRecords()) << "a reused identifier's record is freed";
}

TEST_F(IdManagerTest, PrintsEachIssueReleaseAndReuse)
{
    vexsim::ClearDebugOutput();
    Issue(2);
    ASSERT_EQ(STATUS_SUCCESS, ReleaseId(1));
    Issue(1);
    std::vector<std::string> expected{
        "VexRegFilter.sys: [IDMan] IssueId = 0",
        "VexRegFilter.sys: [IDMan] IssueId = 1",
        "VexRegFilter.sys: [IDMan] ReleaseId = 1",
        "VexRegFilter.sys: [IDMan] ReuseId = 1",
    };
    EXPECT_EQ(expected, vexsim::DebugOutput());
}

TEST_F(IdManagerTest, ReleasesOfUnissuedOrAlreadyReleasedIdentifiersAreIgnored)
{
    Issue(3);
    vexsim::ClearDebugOutput();
    EXPECT_EQ(STATUS_SUCCESS, ReleaseId(7)) << "never issued";
    EXPECT_EQ(STATUS_SUCCESS, ReleaseId(3)) << "the next one to issue is not issued yet";
    EXPECT_EQ(0u, ReleasedRecords());
    EXPECT_TRUE(vexsim::DebugOutput().empty());

    EXPECT_EQ(STATUS_SUCCESS, ReleaseId(1));
    EXPECT_EQ(STATUS_SUCCESS, ReleaseId(1));
    EXPECT_EQ(1u, ReleasedRecords()) << "1 is recorded once";
    EXPECT_EQ((std::vector<ULONG>{1, 3}), Issue(2)) << "1 comes back once only";
}

TEST_F(IdManagerTest, AFailedReleaseLosesTheIdentifierForGood)
{
    Issue(3);
    vexsim::ClearDebugOutput();
    vexsim::FailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ReleaseId(1));
    vexsim::ClearAllocationFailures();
    EXPECT_EQ((std::vector<std::string>{"VexRegFilter.sys: [IDMan] ReleasedId information allocate error"}),
              vexsim::DebugOutput());
    EXPECT_EQ(0u, ReleasedRecords());
    EXPECT_EQ((std::vector<ULONG>{3, 4}), Issue(2)) << "1 is neither reused nor issued anew";
}

TEST_F(IdManagerTest, FinalizeFreesReleasedIdentifiersAndKeepsNumbering)
{
    Issue(4);
    for (ULONG id : {2u, 0u, 3u}) {
        ASSERT_EQ(STATUS_SUCCESS, ReleaseId(id));
    }
    ASSERT_EQ(3u, ReleasedRecords());
    EXPECT_EQ(STATUS_SUCCESS, IDManFinalize());
    EXPECT_EQ(0u, ReleasedRecords());
    EXPECT_EQ(4u, IssueId()) << "numbering does not restart";
}

TEST_F(IdManagerTest, NumberingStartsAtZeroAtEveryLoad)
{
    EXPECT_EQ(STATUS_SUCCESS, IDManInitialize()) << "start-up's own call starts numbering afresh";
    EXPECT_EQ(0u, IssueId());
    Issue(3);
    ASSERT_EQ(STATUS_SUCCESS, ReleaseId(1));
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadDriver(DriverEntry, "VexRegFilter"));
    EXPECT_EQ((std::vector<ULONG>{0, 1}), Issue(2));
}

TEST_F(IdManagerTest, ConcurrentIssuesAndReleasesNeverHandOutAnIdentifierTwice)
{
    const int threads = 4, perThread = 100;
    std::vector<std::vector<ULONG>> held(threads);
    auto run = [&](bool release) {
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; t++) {
            workers.emplace_back([&, t] {
                for (int i = 0; i < perThread; i++) {
                    if (release) {
                        EXPECT_EQ(STATUS_SUCCESS, ReleaseId(held[t][i]));
                    } else {
                        held[t].push_back(IssueId());
                    }
                }
            });
        }
        for (std::thread& worker : workers) {
            worker.join();
        }
    };
    auto all = [&] {
        std::vector<ULONG> ids;
        for (std::vector<ULONG>& one : held) {
            ids.insert(ids.end(), one.begin(), one.end());
            one.clear();
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    };
    std::vector<ULONG> expected(threads * perThread);
    for (size_t i = 0; i < expected.size(); i++) {
        expected[i] = (ULONG)i;
    }
    run(false);
    std::vector<ULONG> first = all();
    EXPECT_EQ(expected, first) << "new identifiers, each once";
    for (int t = 0; t < threads; t++) {
        held[t].assign(first.begin() + t * perThread, first.begin() + (t + 1) * perThread);
    }
    run(true);
    EXPECT_EQ((size_t)(threads * perThread), ReleasedRecords());
    all();
    run(false);
    EXPECT_EQ(expected, all()) << "the released identifiers come back, each once";
    EXPECT_EQ((ULONG)(threads * perThread), IssueId());
}

}  // namespace
