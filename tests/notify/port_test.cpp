// The communication port: who may connect, how many, and what becomes of sends when a client is
// slow, leaves, or the driver unloads.
#include "tests/notify/notify_fixture.h"

#include "sim/executive/clock.h"

#include "sim/executive/dispatcher.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using vextest::Bytes;
using vextest::MessageBytes;

constexpr LONGLONG kTenSeconds = 100000000;

class PortTest : public vextest::NotifyTest {
protected:
    static Bytes Broadcast(ULONG processId)
    {
        Bytes message = MessageBytes(processId, 1, PROCESS_FLAG_CUI);
        EXPECT_EQ(STATUS_SUCCESS, BroadcastMessage((const PROCESS_MESSAGE*)message.data(), (ULONG)message.size()));
        return message;
    }

    static bool Logged(const std::vector<std::string>& messages, const std::string& text)
    {
        return std::any_of(messages.begin(), messages.end(), [&](const std::string& m) { return m.find(text) != std::string::npos; });
    }

    static std::string Hex16(const void* pointer)
    {
        char text[32];
        std::snprintf(text, sizeof(text), "%016llX", (unsigned long long)(uintptr_t)pointer);
        return text;
    }
};

// Any user's processes may connect, low-integrity ones too; user mode has no commands on the
// port, so whatever a client sends is accepted and answered with nothing.
TEST_F(PortTest, ThreeClientsOfAnyUserOrIntegrityConnectAFourthIsRefusedAndAFreedSlotIsTakenAgain)
{
    vexsim::ProcessParams otherUser{u"\\Device\\HarddiskVolume3\\Tools\\client.exe"};
    otherUser.userSid = "S-1-5-21-1-2-3-1002";
    vexsim::ProcessParams lowIntegrity = otherUser;
    lowIntegrity.integrityLevel = vexsim::kLowIntegrity;
    Client clients[3] = {Connect(), Connect(otherUser), Connect(lowIntegrity)};
    for (const Client& client : clients) {
        EXPECT_EQ(STATUS_SUCCESS, client.status);
    }
    EXPECT_EQ(vexsim::kStatusConnectionCountLimit, Connect().status);
    ASSERT_EQ(STATUS_SUCCESS, Disconnect(clients[1]));
    Client late = Connect();
    ASSERT_EQ(STATUS_SUCCESS, late.status);
    EXPECT_EQ(FilterSide(late), g_NotifyChannel.Clients[1].ClientPort) << "the freed slot is taken again";

    vexsim::UserModeScope user(late.process);
    char output[8];
    ULONG returned = 99;
    EXPECT_EQ(STATUS_SUCCESS, vexsim::UserSendMessage(late.port, "hello", 5, output, sizeof(output), &returned));
    EXPECT_EQ(0u, returned);
}

TEST_F(PortTest, EveryClientGetsTheMessageAndEachSendIsLogged)
{
    ArmLog(0x02);
    Client first = Connect();
    Client second = Connect();
    Bytes sent = Broadcast(Pid(first.process));
    EXPECT_EQ(sent, Receive(first));
    EXPECT_EQ(sent, Receive(second));
    vexsim::WaitForWorkQueueIdle();
    EXPECT_EQ((std::vector<std::string>{
                  "PROC = CREATED func = NOTIFY to = client.exe(" + Hex16(FilterSide(first)) +
                      ") Platform = 32bit CUI = TRUE Surrogate = FALSE CommandLine = ",
                  "PROC = CREATED func = NOTIFY to = client.exe(" + Hex16(FilterSide(second)) +
                      ") Platform = 32bit CUI = TRUE Surrogate = FALSE CommandLine = ",
              }),
              LogMessages());
}

TEST_F(PortTest, AClientThatNeverRepliesHoldsTheSendForTenSecondsOfSimulatedTime)
{
    ArmLog(0x40);
    Client silent = Connect();
    Client next = Connect();
    Bytes sent = Broadcast(Pid(silent.process));
    LONGLONG sentAt = vexsim::SimulatedInterruptTime();
    ASSERT_EQ(std::vector<LONGLONG>{sentAt + kTenSeconds}, WaitingSends(silent, 1));
    vexsim::AdvanceSimulatedClock(kTenSeconds);
    EXPECT_EQ(sent, Receive(next)) << "the next client is served once the silent one timed out";
    vexsim::WaitForWorkQueueIdle();
    EXPECT_TRUE(Logged(LogMessages(), "PROC = CREATED func = SEND_MSG to = client.exe(" + Hex16(FilterSide(silent)) +
                                          ") Platform = 32bit CUI = TRUE Surrogate = FALSE status = 0x00000102L CommandLine = "));
}

TEST_F(PortTest, AClientLeavingDuringASendEndsThatSendAndFreesItsSlot)
{
    ArmLog(0x40);
    Client leaving = Connect();
    Client staying = Connect();
    PFLT_PORT leavingSide = FilterSide(leaving);
    Bytes sent = Broadcast(Pid(leaving.process));
    WaitingSends(leaving, 1);
    ASSERT_EQ(STATUS_SUCCESS, Disconnect(leaving));
    EXPECT_EQ(sent, Receive(staying));
    vexsim::WaitForWorkQueueIdle();
    EXPECT_TRUE(Logged(LogMessages(), "PROC = CREATED func = SEND_MSG to = client.exe(" + Hex16(leavingSide) +
                                          ") Platform = 32bit CUI = TRUE Surrogate = FALSE status = 0xC0000037L CommandLine = "));
    EXPECT_EQ(nullptr, g_NotifyChannel.Clients[0].ClientPort);
    EXPECT_EQ(STATUS_SUCCESS, Connect().status);
}

PIO_WORKITEM g_holder = nullptr;
LARGE_INTEGER g_holdUntil;  // absolute system time

// Holds the work queue's worker until the clock reaches g_holdUntil.
VOID NTAPI HoldWorker(PDEVICE_OBJECT, PVOID)
{
    KeDelayExecutionThread(KernelMode, FALSE, &g_holdUntil);
    IoFreeWorkItem(g_holder);
}

// Sends are bounded and counted: with the first one held by a silent client, the queue takes 63
// more and refuses the next. Closing the channel returns only once every queued send has ended
// (here they wait behind a work item that holds the worker until the clock moves), and refuses
// new sends and new clients after.
TEST_F(PortTest, OutstandingSendsAreBoundedAndClosingTheChannelWaitsForThem)
{
    Client silent = Connect();
    Broadcast(0);
    WaitingSends(silent, 1);
    g_holdUntil.QuadPart = vexsim::SimulatedSystemTime() + kTenSeconds;
    g_holder = IoAllocateWorkItem(g_NotifyChannel.DeviceObject);
    IoQueueWorkItem(g_holder, HoldWorker, DelayedWorkQueue, nullptr);
    for (ULONG i = 1; i < NOTIFY_MAX_OUTSTANDING_SENDS; i++) {
        Broadcast(i);
    }
    Bytes extra = MessageBytes(99, 1, 0);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, BroadcastMessage((const PROCESS_MESSAGE*)extra.data(), (ULONG)extra.size()));

    std::atomic<bool> returned{false};
    KEVENT parked;
    KeInitializeEvent(&parked, NotificationEvent, FALSE);
    std::thread finalizer([&] {
        EXPECT_EQ(STATUS_SUCCESS, QFHFinalize());
        returned = true;
        KeWaitForSingleObject(&parked, Executive, KernelMode, FALSE, nullptr);
    });
    vexsim::WaitForBlockedWaiters(2);  // the worker, and the finalizer in QFHFinalize or parked after it
    EXPECT_FALSE(returned) << "QFHFinalize returned with sends still queued";
    vexsim::AdvanceSimulatedClock(kTenSeconds);
    KeSetEvent(&parked, IO_NO_INCREMENT, FALSE);
    finalizer.join();
    EXPECT_EQ(0u, vexsim::LivePoolAllocationCount(VEXH_TAG)) << "every send ran and freed its request";

    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, BroadcastMessage((const PROCESS_MESSAGE*)extra.data(), (ULONG)extra.size()));
    PVOID cookie = nullptr;
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, ConnectNotify((PFLT_PORT)&cookie, nullptr, nullptr, 0, &cookie))
        << "a connect racing the close finds every slot closed";
    vexsim::UserModeScope user(silent.process);
    vexsim::PortMessage message;
    EXPECT_EQ(STATUS_PORT_DISCONNECTED, vexsim::UserGetMessage(silent.port, &message));
}

TEST_F(PortTest, UnloadWithSendsInFlightLeavesNothingBehind)
{
    Client silent = Connect();
    ASSERT_EQ(STATUS_SUCCESS, Connect().status);
    for (ULONG i = 0; i < 3; i++) {
        Broadcast(i);
    }
    WaitingSends(silent, 1);
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    EXPECT_EQ(STATUS_SUCCESS, result.status);
    EXPECT_TRUE(result.leftovers.empty()) << vexsim::FormatUnloadReport(result.leftovers);
    EXPECT_FALSE(g_VexRegFilterData.ImageNotifyRegistered);
    EXPECT_FALSE(g_VexRegFilterData.ProcessNotifyRegistered);
    EXPECT_EQ(STATUS_SUCCESS, Disconnect(silent)) << "the client's handle outlives the driver";
}

// A message that cannot be queued is dropped whole; one that can reaches the client.
TEST_F(PortTest, ASendSurvivesEveryAllocationFailure)
{
    Client client = Connect();
    Bytes message = MessageBytes(8, 1, PROCESS_FLAG_CUI);
    vextest::ForEachAllocationFailure(
        [&] {
            NTSTATUS status = BroadcastMessage((const PROCESS_MESSAGE*)message.data(), (ULONG)message.size());
            if (NT_SUCCESS(status)) {
                EXPECT_EQ(message, Receive(client));
            }
            vexsim::WaitForWorkQueueIdle();
            return status;
        },
        [&](NTSTATUS status, int failing) {
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES) << failing;
            EXPECT_EQ(0u, vexsim::LivePoolAllocationCount(VEXH_TAG)) << failing;
        });
}

}  // namespace
