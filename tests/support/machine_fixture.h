// Fixtures for tests on the simulated machine. MachineTest boots a fresh machine for each test
// and fails the test if anything is left in it afterwards; DriverTest also loads the driver and
// ends by unloading it and running the unload check.
#pragma once

#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "driver/global.h"
#include "sim/debug/debug_output.h"
#include "sim/executive/fault_injection.h"
#include "sim/executive/pool.h"
#include "sim/machine/machine.h"

#include <gtest/gtest.h>

#include <string>

namespace vextest {

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        vexsim::BootMachine(config);
    }
    void TearDown() override
    {
        vexsim::Leftovers leftovers = vexsim::CheckLeftovers();
        EXPECT_TRUE(leftovers.empty()) << vexsim::FormatUnloadReport(leftovers);
        vexsim::ShutdownMachine();
    }
    vexsim::MachineConfig config;
};

class DriverTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadDriver(DriverEntry, "VexRegFilter"));
    }
    void TearDown() override
    {
        if (vexsim::LoadedDriverObject() != nullptr) {
            vexsim::UnloadResult result = vexsim::UnloadDriver();
            EXPECT_EQ(STATUS_SUCCESS, result.status);
            EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
        }
        vexsim::ShutdownMachine();
    }
};

// Runs an operation with its first allocation failing, then its second, and so on, handing each
// run's result to check with the number of the failed allocation; stops at the first run in which
// the failure was not reached and returns that run's result. Each failed run must leave things as
// they were, so that every run starts from the same state.
template <typename Operation, typename Check>
auto ForEachAllocationFailure(Operation operation, Check check) -> decltype(operation())
{
    for (int failing = 1;; failing++) {
        ULONG64 injectedBefore = vexsim::InjectedFailureCount();
        vexsim::FailNthAllocation((ULONG64)failing);
        auto result = operation();
        vexsim::ClearAllocationFailures();
        if (vexsim::InjectedFailureCount() == injectedBefore) {
            EXPECT_GT(failing, 1) << "the operation allocates nothing";
            return result;
        }
        check(result, failing);
    }
}

inline size_t LivePoolAllocations() { return vexsim::LivePoolAllocations().size(); }

// Does any captured debugger line contain text?
inline bool HasDebugLine(const std::string& text)
{
    for (const std::string& line : vexsim::DebugOutput()) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace vextest
