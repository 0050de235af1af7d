// The driver's caller-memory copies: a user-mode caller's unmapped, unreadable or read-only
// buffers give STATUS_ACCESS_VIOLATION with nothing copied; kernel-mode buffers are used as given.
#include "tests/support/machine_fixture.h"

#include "sim/ps/process.h"
#include "sim/ps/process_memory.h"
#include "sim/ps/user_mode_scope.h"

#include <array>

namespace vextest {
namespace {

class CallerMemoryTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        process_ = vexsim::CreateUserProcess({u"\\Device\\HarddiskVolume3\\Windows\\notepad.exe"});
        writable_ = vexsim::AllocateProcessMemory(process_, 16);
        readOnly_ = vexsim::AllocateProcessMemory(process_, 16);
        vexsim::SetProcessMemoryWritable(process_, readOnly_, false);
        unreadable_ = vexsim::AllocateProcessMemory(process_, 16);
        vexsim::SetProcessMemoryReadable(process_, unreadable_, false);
    }
    void TearDown() override
    {
        vexsim::EndProcess(process_);
        MachineTest::TearDown();
    }

    static PVOID At(ULONG_PTR address) { return reinterpret_cast<PVOID>(address); }

    PEPROCESS process_ = nullptr;
    ULONG_PTR writable_ = 0;
    ULONG_PTR readOnly_ = 0;
    ULONG_PTR unreadable_ = 0;
};

TEST_F(CallerMemoryTest, UserModeCallerBuffersAnswerWithStatuses)
{
    vexsim::UserModeScope user(process_);
    const std::array<UCHAR, 8> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    std::array<UCHAR, 8> back = {};

    EXPECT_EQ(STATUS_SUCCESS, CopyToCaller(At(writable_), bytes.data(), bytes.size()));
    EXPECT_EQ(STATUS_SUCCESS, CopyFromCaller(back.data(), At(writable_), back.size()));
    EXPECT_EQ(bytes, back);
    EXPECT_EQ(STATUS_SUCCESS, WriteCallerUlong(static_cast<PULONG>(At(writable_ + 8)), 0x11223344));
    ULONG value = 0;
    ASSERT_TRUE(vexsim::ReadProcessMemory(process_, writable_ + 8, &value, sizeof(value)));
    EXPECT_EQ(0x11223344u, value);

    const struct {
        const char* what;
        ULONG_PTR address;
        NTSTATUS write;
        NTSTATUS read;
    } rows[] = {
        {"read-only page", readOnly_, STATUS_ACCESS_VIOLATION, STATUS_SUCCESS},
        {"unreadable page", unreadable_, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {"unmapped page", 0x10000, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {"range running off the end of a mapping", writable_ + 12, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
    };
    for (const auto& row : rows) {
        back.fill(0xEE);
        EXPECT_EQ(row.write, CopyToCaller(At(row.address), bytes.data(), bytes.size())) << row.what;
        EXPECT_EQ(row.read, CopyFromCaller(back.data(), At(row.address), back.size())) << row.what;
        if (!NT_SUCCESS(row.read)) {
            EXPECT_EQ(0xEE, back[0]) << row.what << ": nothing is copied from a faulting range";
        }
    }
    EXPECT_EQ(STATUS_SUCCESS, CopyToCaller(At(0x10000), bytes.data(), 0)) << "a zero length touches nothing";
}

TEST_F(CallerMemoryTest, KernelModeBuffersAreUsedAsGiven)
{
    std::array<UCHAR, 4> kernelBuffer = {};
    const std::array<UCHAR, 4> bytes = {9, 8, 7, 6};
    EXPECT_EQ(KernelMode, ExGetPreviousMode());
    EXPECT_EQ(STATUS_SUCCESS, CopyToCaller(kernelBuffer.data(), bytes.data(), bytes.size()));
    EXPECT_EQ(bytes, kernelBuffer);
}

}  // namespace
}  // namespace vextest
