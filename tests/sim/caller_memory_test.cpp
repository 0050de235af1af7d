// Memory a user-mode caller owns: the probes and copies drivers use (ntmm.h) and what the
// registry services answer when the caller's buffers fault.
#include "tests/sim/registry_fixture.h"

#include "sim/ob/user_objects.h"
#include "sim/ps/process_memory.h"

#include <algorithm>
#include <array>
#include <functional>
#include <optional>

namespace vextest {
namespace {

using vexsim::AllocateProcessMemory;

class CallerMemoryTest : public RegistryUserTest {
protected:
    void SetUp() override
    {
        RegistryUserTest::SetUp();
        process_ = StartProcess(false, true);
        user_.emplace(process_);
        mapped_ = AllocateProcessMemory(process_, 256);
        readOnly_ = AllocateProcessMemory(process_, 256);
        vexsim::SetProcessMemoryWritable(process_, readOnly_, false);
        unreadable_ = AllocateProcessMemory(process_, 256);
        vexsim::SetProcessMemoryReadable(process_, unreadable_, false);
    }
    void TearDown() override
    {
        user_.reset();
        vexsim::EndProcess(process_);
        RegistryUserTest::TearDown();
    }

    std::vector<UCHAR> Read(ULONG_PTR address, size_t length)
    {
        std::vector<UCHAR> bytes(length);
        EXPECT_TRUE(vexsim::ReadProcessMemory(process_, address, bytes.data(), length));
        return bytes;
    }

    static constexpr ULONG_PTR kUnmapped = 0x10000;
    PEPROCESS process_ = nullptr;
    std::optional<vexsim::UserModeScope> user_;
    ULONG_PTR mapped_ = 0;
    ULONG_PTR readOnly_ = 0;
    ULONG_PTR unreadable_ = 0;
};

TEST_F(CallerMemoryTest, ProbesAndCopiesAnswerWithStatuses)
{
    ULONG lent = 0;
    const struct {
        const char* probe;
        ULONG_PTR address;
        SIZE_T length;
        ULONG alignment;
        NTSTATUS probeRead;
        NTSTATUS probeWrite;
        NTSTATUS copyFrom;
        NTSTATUS copyTo;
    } rows[] = {
        {"a mapped buffer", mapped_, 16, 4, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
        {"a read-only buffer", readOnly_, 16, 4, STATUS_SUCCESS, STATUS_ACCESS_VIOLATION, STATUS_SUCCESS,
         STATUS_ACCESS_VIOLATION},
        // x64 has no write-only pages: a page that faults on reads faults on writes too.
        {"an unreadable buffer", unreadable_, 16, 4, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION,
         STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {"an unmapped address", kUnmapped, 16, 4, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION,
         STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {"running past the end of a buffer", mapped_ + 250, 8, 1, STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION,
         STATUS_ACCESS_VIOLATION, STATUS_ACCESS_VIOLATION},
        {"nothing at an unmapped address", kUnmapped, 0, 4, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS,
         STATUS_SUCCESS},
        {"a misaligned address", mapped_ + 2, 4, 4, STATUS_DATATYPE_MISALIGNMENT, STATUS_DATATYPE_MISALIGNMENT,
         STATUS_SUCCESS, STATUS_SUCCESS},
        {"host memory a test lends the process", reinterpret_cast<ULONG_PTR>(&lent), sizeof(lent), 4, STATUS_SUCCESS,
         STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.probe);
        auto* address = reinterpret_cast<PVOID>(row.address);
        EXPECT_EQ(row.probeRead, SimProbeForRead(address, row.length, row.alignment));
        EXPECT_EQ(row.probeWrite, SimProbeForWrite(address, row.length, row.alignment));
        std::array<UCHAR, 16> bytes{};
        EXPECT_EQ(row.copyFrom, SimCopyFromUser(bytes.data(), address, row.length));
        bytes.fill(0x5A);
        EXPECT_EQ(row.copyTo, SimCopyToUser(address, bytes.data(), row.length));
    }
    EXPECT_EQ(std::vector<UCHAR>(16, 0x5A), Read(mapped_, 16)) << "a copy that may write, writes";
    EXPECT_EQ(std::vector<UCHAR>(16, 0), Read(readOnly_, 16)) << "a refused copy writes nothing";
}

TEST_F(CallerMemoryTest, AFailedProbeNoHandlerCatchesStopsTheMachine)
{
    EXPECT_DEATH(ProbeForWrite(reinterpret_cast<PVOID>(readOnly_), 4, 4),
                 "STOP: 0x0000001E \\(0x00000000C0000005, .*ProbeForWrite of 0x[0-9a-f]+ \\(4 bytes\\)");
    EXPECT_DEATH(ProbeForRead(reinterpret_cast<PVOID>(mapped_ + 1), 4, 4), "STOP: 0x0000001E \\(0x0000000080000002");
}

// Every buffer a registry service writes or reads for a user-mode caller faults as that
// process's memory: a mapped buffer gets the answer, a read-only or unmapped one gives
// STATUS_ACCESS_VIOLATION and no stop.
TEST_F(CallerMemoryTest, RegistryServicesFaultOnTheCallersBuffers)
{
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, UserCreate(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Faults"));
    ULONG length = 0;
    Wide valueName(u"v");
    ULONG seven = 7;
    ASSERT_EQ(STATUS_SUCCESS, vexsim::NtSetValueKey(key, valueName.get(), 0, REG_DWORD, &seven, sizeof(seven)));
    const struct {
        const char* probe;
        std::function<NTSTATUS(PVOID buffer)> call;
        size_t answerBytes;  // what lands in a mapped buffer (0: nothing to check)
    } rows[] = {
        {"NtQueryKey's KeyInformation",
         [&](PVOID buffer) { return vexsim::NtQueryKey(key, KeyCachedInformation, buffer, 64, &length); },
         sizeof(KEY_CACHED_INFORMATION)},
        {"NtQueryKey's ResultLength",
         [&](PVOID buffer) {
             UCHAR answer[64];
             return vexsim::NtQueryKey(key, KeyBasicInformation, answer, sizeof(answer), static_cast<PULONG>(buffer));
         },
         sizeof(ULONG)},
        {"NtEnumerateValueKey's KeyValueInformation",
         [&](PVOID buffer) { return vexsim::NtEnumerateValueKey(key, 0, KeyValuePartialInformation, buffer, 64, &length); },
         16},
        {"NtQueryValueKey's KeyValueInformation",
         [&](PVOID buffer) {
             return vexsim::NtQueryValueKey(key, valueName.get(), KeyValuePartialInformation, buffer, 64, &length);
         },
         16},
        {"NtQuerySecurityObject's SecurityDescriptor",
         [&](PVOID buffer) { return vexsim::NtQuerySecurityObject(key, OWNER_SECURITY_INFORMATION, buffer, 256, &length); },
         0},
        {"NtQueryObject's name",
         [&](PVOID buffer) { return vexsim::NtQueryObject(key, ObjectNameInformation, buffer, 256, &length); }, 0},
        {"NtOpenKeyEx's KeyHandle",
         [&](PVOID buffer) {
             Wide name(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Faults");
             OBJECT_ATTRIBUTES oa;
             InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
             NTSTATUS status = vexsim::NtOpenKeyEx(static_cast<PHANDLE>(buffer), KEY_READ, &oa, 0);
             HANDLE opened = nullptr;
             if (NT_SUCCESS(status) && NT_SUCCESS(SimCopyFromUser(&opened, buffer, sizeof(opened)))) {
                 EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(opened));
             }
             return status;
         },
         0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.probe);
        EXPECT_EQ(STATUS_SUCCESS, row.call(reinterpret_cast<PVOID>(mapped_)));
        if (row.answerBytes != 0) {
            UCHAR expected[64];
            ASSERT_TRUE(NT_SUCCESS(row.call(expected))) << "the same call into host memory";
            EXPECT_EQ(std::vector<UCHAR>(expected, expected + row.answerBytes), Read(mapped_, row.answerBytes));
        }
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, row.call(reinterpret_cast<PVOID>(readOnly_)));
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, row.call(reinterpret_cast<PVOID>(kUnmapped)));
    }
    // Value data is read from the caller's memory.
    auto setFrom = [&](ULONG_PTR data) {
        return vexsim::NtSetValueKey(key, valueName.get(), 0, REG_DWORD, reinterpret_cast<PVOID>(data), sizeof(ULONG));
    };
    EXPECT_EQ(STATUS_SUCCESS, setFrom(readOnly_)) << "read-only data can be read";
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, setFrom(unreadable_));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, setFrom(kUnmapped));
    EXPECT_EQ(STATUS_SUCCESS, vexsim::NtDeleteKey(key));
    EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(key));
}

// A callback that completes a user-mode caller's query sees the caller's own addresses and
// reaches them only through the caller-memory routines; a fault there is its answer to return.
TEST_F(CallerMemoryTest, ABypassingCallbackWritesTheCallersBufferThroughTheRoutines)
{
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_READ));
    const ULONG kAnswer = 0x5EED;
    TestCallback callback;
    PVOID seenBuffer = nullptr;
    bool protectFirst = false;  // stands for another thread of the caller protecting the buffer meanwhile
    callback.answer = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass != RegNtPreQueryKey) {
            return STATUS_SUCCESS;
        }
        auto* info = static_cast<PREG_QUERY_KEY_INFORMATION>(argument);
        seenBuffer = info->KeyInformation;
        if (protectFirst) {
            vexsim::SetProcessMemoryWritable(process_, mapped_, false);
        }
        NTSTATUS status = SimCopyToUser(info->KeyInformation, &kAnswer, sizeof(kAnswer));
        if (NT_SUCCESS(status)) {
            const ULONG written = sizeof(kAnswer);
            status = SimCopyToUser(info->ResultLength, &written, sizeof(written));
        }
        return NT_SUCCESS(status) ? STATUS_CALLBACK_BYPASS : status;
    };
    auto* resultLength = reinterpret_cast<PULONG>(mapped_ + 128);
    EXPECT_EQ(STATUS_SUCCESS,
              vexsim::NtQueryKey(key, KeyFullInformation, reinterpret_cast<PVOID>(mapped_), 64, resultLength));
    EXPECT_EQ(reinterpret_cast<PVOID>(mapped_), seenBuffer) << "the callback sees the caller's address";
    std::vector<UCHAR> answer = Read(mapped_, sizeof(ULONG));
    std::vector<UCHAR> length = Read(mapped_ + 128, sizeof(ULONG));
    EXPECT_EQ(kAnswer, *reinterpret_cast<const ULONG*>(answer.data()));
    EXPECT_EQ(sizeof(ULONG), *reinterpret_cast<const ULONG*>(length.data()));

    protectFirst = true;
    ULONG hostLength = 0;
    EXPECT_EQ(STATUS_ACCESS_VIOLATION,
              vexsim::NtQueryKey(key, KeyFullInformation, reinterpret_cast<PVOID>(mapped_), 64, &hostLength));
    EXPECT_EQ(0u, hostLength) << "the callback's answer: the fault, nothing written";
    EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(key));
}

}  // namespace
}  // namespace vextest
