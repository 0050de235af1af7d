// Two sandboxed programs at once: first opens of the same keys converge on one copy, and hive
// roots opened and closed on both sides leave the application-hive list empty.
#include "tests/callback/callback_fixture.h"

#include "tables/builtin_lists.h"

#include <thread>

namespace {

using namespace vextest;

class CallbackConcurrentTest : public CallbackTest {};

TEST_F(CallbackConcurrentTest, ProgramsOpeningTheSameKeysAndHivesAtOnce)
{
    constexpr int kRounds = 20;
    KernelKey real;
    ASSERT_EQ(STATUS_SUCCESS, real.CreatePath(kSoftware + u"\\Shared\\Sub"));
    vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\second.exe"};
    params.userSid = Utf8(kUserSid);
    params.administrator = true;
    PEPROCESS second = vexsim::CreateUserProcess(params);
    PutUnderSandbox(second);

    std::vector<std::thread> programs;
    for (PEPROCESS program : {sandboxed, second}) {
        programs.emplace_back([program] {
            for (int round = 0; round < kRounds; round++) {
                HANDLE key = nullptr;
                ASSERT_EQ(STATUS_SUCCESS, Open(program, kSoftware + u"\\Shared", KEY_ALL_ACCESS, &key));
                HANDLE created = nullptr;
                EXPECT_EQ(STATUS_SUCCESS, Create(program, u"Made" + Utf16(std::to_string(round % 3)), &created, nullptr, key));
                EXPECT_EQ(STATUS_SUCCESS, Close(program, created));
                EXPECT_EQ(STATUS_SUCCESS, SetDword(program, key, u"v", (ULONG)round));
                EXPECT_EQ(STATUS_SUCCESS, Close(program, key));
                HANDLE root = nullptr;
                {
                    vexsim::UserModeScope user(program);
                    ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &root));
                }
                HANDLE inside = nullptr;
                EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(program, u"Missing", KEY_READ, &inside, root));
                EXPECT_EQ(STATUS_SUCCESS, Close(program, root));
            }
        });
    }
    for (std::thread& program : programs) {
        program.join();
    }
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(second, kSoftware + u"\\Shared", KEY_READ, &key));
    std::vector<UCHAR> buffer(256);
    ULONG length = 0;
    {
        vexsim::UserModeScope user(second);
        ASSERT_EQ(STATUS_SUCCESS, vexsim::NtQueryKey(key, KeyFullInformation, buffer.data(), (ULONG)buffer.size(), &length));
    }
    EXPECT_EQ(4u, ((PKEY_FULL_INFORMATION)buffer.data())->SubKeys) << "Sub and Made0 to Made2, each once";
    EXPECT_EQ(STATUS_SUCCESS, Close(second, key));
    EXPECT_TRUE(AHLIsEmpty());
    vexsim::EndProcess(second);
}

}  // namespace
