// A booted machine for the simulated kernel's own tests.
#pragma once

#include "sim/machine/machine.h"

#include <gtest/gtest.h>

#include <string>

namespace vexsim::test {

class SimKernelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        StartNewBoot();
        ObjectsBoot(config_);
        IoBoot(config_);
        FilterManagerBoot(config_);
    }

    void TearDown() override
    {
        FilterManagerShutdown();
        IoShutdown();
        ObjectsShutdown();
    }

    static Leftovers AllLeftovers()
    {
        Leftovers out;
        ObjectsLeftovers(out);
        IoLeftovers(out);
        FilterManagerLeftovers(out);
        return out;
    }

    MachineConfig config_;
};

// A counted string over a literal (the literal outlives it).
inline UNICODE_STRING Name(const char16_t* text)
{
    auto bytes = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * sizeof(char16_t));
    return UNICODE_STRING{bytes, static_cast<USHORT>(bytes + sizeof(char16_t)),
                          reinterpret_cast<PWSTR>(const_cast<char16_t*>(text))};
}

inline std::u16string Text(const UNICODE_STRING& string)
{
    return std::u16string(reinterpret_cast<const char16_t*>(string.Buffer), string.Length / sizeof(char16_t));
}

}  // namespace vexsim::test
