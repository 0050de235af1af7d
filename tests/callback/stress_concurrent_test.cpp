// Everything at once, under ThreadSanitizer in CI: a sandboxed and an ordinary program use the
// registry while the service stops and starts redirection, changes its settings (exclusions and a
// program name to sandbox), sandboxed programs start and exit, port clients connect and
// disconnect and the log is drained. Each thread runs a fixed number of rounds. At the end the
// machine still runs, the only nesting of locks is the driver's documented one, the real registry
// outside the sandbox is as it was, and the unload is clean.
//
// While redirection is stopped the sandboxed program's calls reach the real registry, as they
// would on Windows; its writes therefore stay in one area of the real registry (Stress), which the
// final comparison leaves out with the ordinary program's own area.
#include "log/log.h"
#include "sim/executive/lock_order.h"
#include "sim/flt/port.h"
#include "sim/fs/file_system.h"
#include "sim/ob/user_events.h"
#include "tests/support/containment.h"
#include "tests/support/control_service.h"
#include "tests/support/large_registry.h"
#include "tests/support/sandbox_session.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>

namespace {

using namespace vextest;

const std::u16string kNotepad = u"C:\\Windows\\System32\\notepad.exe";
const std::u16string kStress = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Stress";
const std::u16string kOutsiderArea = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid) + u"\\Software\\Outsider";
constexpr int kRounds = 160;

// The blocks of an export by native name, without those of keys in area.
std::vector<std::string> Without(std::vector<std::string> blocks, const std::u16string& area)
{
    std::erase_if(blocks, [&](const std::string& block) { return StartsWithKey(Utf16(block.substr(3, block.find(']') - 3)), area); });
    return blocks;
}

RealRegistry OutsideTheWritableAreas()
{
    RealRegistry registry = RealRegistryOutsideSandbox();
    registry.machine = Without(registry.machine, kStress);
    registry.users = Without(registry.users, kOutsiderArea);
    return registry;
}

// The sandboxed program's round: reads anywhere, writes in the Stress area.
void SandboxedRound(const Program& program, std::mt19937& random)
{
    HANDLE key = nullptr;
    std::u16string name = kStress + u"\\K" + Utf16(std::to_string(random() % 4));
    if (NT_SUCCESS(program.Create(name, &key))) {
        ULONG a, b, data;
        NTSTATUS status;
        (void)program.SetDword(key, u"v", (ULONG)random());
        (void)program.QueryValue(key, u"v", &data);
        (void)program.Enumerate(key, &a, &b, &status);
        switch (random() % 3) {
        case 0:
            (void)program.DeleteKey(key);
            break;
        case 1:
            (void)program.Rename(key, u"K" + Utf16(std::to_string(random() % 4)));
            break;
        default:
            (void)program.DeleteValue(key, u"v");
            break;
        }
        EXPECT_EQ(STATUS_SUCCESS, program.Close(key));
    }
    if (NT_SUCCESS(program.Open(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor" + Utf16(std::to_string(random() % 10)), KEY_READ, &key))) {
        ULONG a, b;
        (void)program.QueryKey(key, &a, &b);
        EXPECT_EQ(STATUS_SUCCESS, program.Close(key));
    }
}

TEST(StressConcurrentTest, EverythingAtOnceKeepsTheMachineContainedAndClean)
{
    SandboxSession session;
    session.Begin(LargeRegistryFile(3, 10) + "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Stress]\r\n" +
                  "\r\n[HKEY_USERS\\" + Utf8(kUserSid) + "\\Software\\Outsider]\r\n");
    ASSERT_EQ(STATUS_SUCCESS, vexsim::LayDownWindowsVolume());
    const RealRegistry before = OutsideTheWritableAreas();
    // One service process per thread that sends requests: a process's user thread is one
    // thread of the machine, so two host threads acting as it would share its locks' ownership.
    auto owned = std::make_unique<ControlService>(), starter = std::make_unique<ControlService>(),
         setter = std::make_unique<ControlService>();
    const ControlService& service = *owned;
    {
        vexsim::UserModeScope user(service.process());
        HANDLE event = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, vexsim::UserCreateEvent(SynchronizationEvent, FALSE, &event, EVENT_ALL_ACCESS));
        START_LOGGING_REQUEST request{reinterpret_cast<ULONG64>(event), LOG_LEVEL_INFO | LOG_LEVEL_ERROR | LOG_LEVEL_TRACE};
        std::vector<unsigned char> input(sizeof(request));
        memcpy(input.data(), &request, sizeof(request));
        ASSERT_EQ(STATUS_SUCCESS, service.Send(IOCTL_START_LOGGING, input).status);
    }

    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        std::mt19937 random(1);
        for (int round = 0; round < kRounds; round++) {
            SandboxedRound(session.sandboxed, random);
        }
    });
    threads.emplace_back([&] {
        std::mt19937 random(3);
        for (int round = 0; round < kRounds; round++) {
            HANDLE key = nullptr;
            ASSERT_EQ(STATUS_SUCCESS, session.outsider.Create(kOutsiderArea + u"\\Mine", &key));
            EXPECT_EQ(STATUS_SUCCESS, session.outsider.SetDword(key, u"round", (ULONG)round));
            EXPECT_EQ(STATUS_SUCCESS, session.outsider.Close(key));
            SandboxedRound(session.outsider, random);
        }
    });
    threads.emplace_back([&] {
        for (int round = 0; round < kRounds / 4; round++) {
            (void)starter->Send(IOCTL_SANDBOX_STOP_REG_REDIRECT, {});
            (void)starter->Send(IOCTL_SANDBOX_START_REG_REDIRECT, {});
        }
    });
    threads.emplace_back([&] {
        for (int round = 0; round < kRounds / 2; round++) {
            (void)setter->SendText(IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME, kStress + u"\\K1");
            (void)setter->SendText(IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME, u"v");
            (void)setter->Send(IOCTL_OUTPUT_CURRENT_PARAM, {});
            (void)setter->Send(IOCTL_SANDBOX_RESET_EXCLUDE_KEY_NAME, {});
            (void)setter->Send(IOCTL_SANDBOX_RESET_EXCLUDE_VALUE_NAME, {});
            ControlReply added = setter->Send(IOCTL_SANDBOX_SET_PROCESS, TextInput(kNotepad), sizeof(ULONG));
            if (NT_SUCCESS(added.status)) {
                (void)setter->Send(IOCTL_SANDBOX_DEL_PROCESS, added.output);
            }
        }
    });
    threads.emplace_back([&] {
        std::mt19937 random(2);
        for (int round = 0; round < kRounds / 2; round++) {
            // Programs the process setting puts under the sandbox while it is set, and others.
            vexsim::ProcessParams params{round % 2 == 0 ? u"\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe"
                                                        : u"\\Device\\HarddiskVolume3\\App\\child.exe"};
            params.userSid = Utf8(kUserSid);
            params.administrator = true;
            Program child{vexsim::CreateUserProcess(params)};
            PutUnderSandbox(child.process);
            SandboxedRound(child, random);
            vexsim::EndProcess(child.process);
        }
    });
    threads.emplace_back([&] {
        PEPROCESS client = SandboxSession::StartProgram(u"client.exe", false);
        std::vector<unsigned char> log(LOG_QUEUE_LIMIT * LOG_RECORD_BODY_SIZE);
        for (int round = 0; round < kRounds / 2; round++) {
            {
                vexsim::UserModeScope user(client);
                HANDLE port = nullptr;
                if (NT_SUCCESS(vexsim::UserConnectCommunicationPort(u"\\VexRegFilterConnectionPort", nullptr, 0, &port))) {
                    EXPECT_EQ(STATUS_SUCCESS, vexsim::UserCloseHandle(port));
                }
            }
            (void)service.Send(IOCTL_GET_LOG_DATA, {}, (ULONG)log.size());
        }
        vexsim::EndProcess(client);
    });
    for (std::thread& thread : threads) {
        thread.join();
    }

    EXPECT_EQ(STATUS_SUCCESS, service.Send(IOCTL_SANDBOX_START_REG_REDIRECT, {}).status);
    RealRegistry after = OutsideTheWritableAreas();
    EXPECT_TRUE(before == after) << FirstDifference(before, after);
    HANDLE mine = nullptr;
    ULONG last = 0;
    EXPECT_EQ(STATUS_SUCCESS, session.outsider.Open(kOutsiderArea + u"\\Mine", KEY_READ, &mine));
    EXPECT_EQ(STATUS_SUCCESS, session.outsider.QueryValue(mine, u"round", &last));
    EXPECT_EQ((ULONG)kRounds - 1, last) << "the ordinary program's writes reach the real registry";
    EXPECT_EQ(STATUS_SUCCESS, session.outsider.Close(mine));
    // The one nesting of the driver's locks: a process name list's mutex, then the identifier
    // manager's, which every process setting takes. Any other nesting would show a second lock
    // taken inside another.
    std::set<const void*> taken;
    for (auto [held, inner] : vexsim::LockOrders()) {
        taken.insert(inner);
    }
    EXPECT_EQ(1u, taken.size());
    (void)service.Send(IOCTL_STOP_LOGGING, {});
    owned.reset();
    starter.reset();
    setter.reset();
    std::vector<std::string> problems = session.End();
    EXPECT_TRUE(problems.empty()) << problems.front();
}

}  // namespace
