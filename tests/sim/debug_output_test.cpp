// DbgPrint and the debugger capture.
#include "platform/platform.h"
#include "sim/debug/debug_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

class DebugOutput : public ::testing::Test {
protected:
    void SetUp() override { vexsim::ClearDebugOutput(); }
};

TEST_F(DebugOutput, LinesAreAssembledFromPieces)
{
    WCHAR name[] = {L'R', L'u', L'n', L'X'};
    UNICODE_STRING key{6, sizeof(name), name};
    EXPECT_EQ(DbgPrint("VexRegFilter.sys: "), static_cast<ULONG>(STATUS_SUCCESS));
    DbgPrint("opened %wZ status %08XL\n", &key, 0u);
    DbgPrint("VexRegFilter.sys: ");
    EXPECT_EQ(vexsim::DebugOutput(), (Lines{"VexRegFilter.sys: opened Run status 00000000L", "VexRegFilter.sys: "}));
    DbgPrint("two\r\nlines\n\n");
    EXPECT_EQ(vexsim::DebugOutput(),
              (Lines{"VexRegFilter.sys: opened Run status 00000000L", "VexRegFilter.sys: two", "lines", ""}));
}

TEST_F(DebugOutput, ClearForgetsThePartialLineToo)
{
    DbgPrint("half");
    vexsim::ClearDebugOutput();
    DbgPrint("whole\n");
    EXPECT_EQ(vexsim::DebugOutput(), (Lines{"whole"}));
}

TEST_F(DebugOutput, OneCallTransmitsAtMost512Bytes)
{
    const std::string longText(600, 'x');
    DbgPrint("%s\n", longText.c_str());
    EXPECT_EQ(vexsim::DebugOutput(), (Lines{std::string(512, 'x')}));
}

using DebugOutputConcurrent = DebugOutput;

// Whole lines printed from several threads at once arrive intact and complete.
TEST_F(DebugOutputConcurrent, PrintersKeepLinesWhole)
{
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> printers;
    for (int t = 0; t < kThreads; ++t) {
        printers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                DbgPrint("thread %d line %03d\n", t, i);
            }
        });
    }
    for (std::thread& printer : printers) {
        printer.join();
    }
    Lines lines = vexsim::DebugOutput();
    std::sort(lines.begin(), lines.end());
    Lines expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kLines; ++i) {
            char line[32];
            std::snprintf(line, sizeof(line), "thread %d line %03d", t, i);
            expected.push_back(line);
        }
    }
    EXPECT_EQ(lines, expected);
}

}  // namespace
