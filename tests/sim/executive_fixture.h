// A fresh machine for each executive test: a new boot with the given configuration, shut down afterwards.
#pragma once

#include "sim/machine/machine.h"

#include <gtest/gtest.h>

class ExecutiveFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        vexsim::BootMachine(config);
    }

    void TearDown() override { vexsim::ShutdownMachine(); }

    vexsim::MachineConfig config;
};
