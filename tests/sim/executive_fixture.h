// A fresh executive for each test: a new boot with the given configuration, shut down afterwards.
#pragma once

#include "sim/core/components.h"

#include <gtest/gtest.h>

class ExecutiveFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        vexsim::StartNewBoot();
        vexsim::ExecutiveBoot(config);
    }

    void TearDown() override { vexsim::ExecutiveShutdown(); }

    vexsim::MachineConfig config;
};
