// Events a user process creates and holds: the handle in the process's table, what a kernel
// reference on it checks, and user waits that kernel signals end.
#include "sim/executive/dispatcher.h"
#include "sim/io/io.h"
#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ob/user_events.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "sim_fixture.h"

#include <thread>

namespace vexsim::test {
namespace {

class UserEventsTest : public SimKernelTest {
protected:
    PEPROCESS NewProcess() { return CreateUserProcess(ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\client.exe"}); }

    // A handle in process's table to a new event, created as that process.
    HANDLE CreateEventIn(PEPROCESS process, ACCESS_MASK access = EVENT_ALL_ACCESS, EVENT_TYPE type = NotificationEvent,
                         BOOLEAN signalled = FALSE)
    {
        UserModeScope user(process);
        HANDLE handle = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, UserCreateEvent(type, signalled, &handle, access));
        return handle;
    }

    void CloseIn(PEPROCESS process, HANDLE handle)
    {
        UserModeScope user(process);
        EXPECT_EQ(STATUS_SUCCESS, UserCloseHandle(handle));
    }
};

LARGE_INTEGER Poll()
{
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return zero;
}

TEST_F(UserEventsTest, HandleLivesInTheCreatorsTableWithTheMappedRights)
{
    PEPROCESS process = NewProcess();
    HANDLE handle = CreateEventIn(process, GENERIC_READ | SYNCHRONIZE);
    ASSERT_NE(nullptr, handle);
    EXPECT_FALSE(IsKernelHandle(handle));
    EXPECT_EQ(1u, HandleTableOf(process).Count());
    {
        UserModeScope user(process);
        PVOID event = nullptr;
        OBJECT_HANDLE_INFORMATION info{};
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, READ_CONTROL, *ExEventObjectType, UserMode, &event, &info));
        EXPECT_EQ(static_cast<ACCESS_MASK>(READ_CONTROL | EVENT_QUERY_STATE | SYNCHRONIZE), info.GrantedAccess);
        EXPECT_EQ(0, KeReadStateEvent(static_cast<PKEVENT>(event)));
        ObDereferenceObject(event);
    }
    CloseIn(process, handle);
    EXPECT_EQ(0u, HandleTableOf(process).Count());
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(UserEventsTest, EventAllAccessIsEveryRightOfTheType)
{
    EXPECT_EQ(0x1F0003u, static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS));
    EXPECT_EQ(static_cast<ACCESS_MASK>(EVENT_ALL_ACCESS), MapAccess(*ExEventObjectType, GENERIC_ALL));
    EXPECT_EQ(0x20001u, MapAccess(*ExEventObjectType, GENERIC_READ));
    EXPECT_EQ(0x20002u, MapAccess(*ExEventObjectType, GENERIC_WRITE));
    EXPECT_EQ(0x120000u, MapAccess(*ExEventObjectType, GENERIC_EXECUTE));
}

TEST_F(UserEventsTest, ReferenceChecksTypeAndInUserModeTheGrantedAccess)
{
    struct Case {
        const char* what;
        ACCESS_MASK granted;   // asked for at creation
        ACCESS_MASK desired;   // asked for by the reference
        bool asEvent;          // reference as ExEventObjectType, else as PsProcessType
        KPROCESSOR_MODE mode;  // of the reference
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"read control held", EVENT_ALL_ACCESS, READ_CONTROL, true, UserMode, STATUS_SUCCESS},
        {"generic read carries read control", GENERIC_READ, READ_CONTROL, true, UserMode, STATUS_SUCCESS},
        {"synchronize only lacks read control", SYNCHRONIZE, READ_CONTROL, true, UserMode, STATUS_ACCESS_DENIED},
        {"modify state only lacks read control", EVENT_MODIFY_STATE, READ_CONTROL, true, UserMode, STATUS_ACCESS_DENIED},
        {"generic write is mapped before the check", EVENT_MODIFY_STATE | READ_CONTROL, GENERIC_WRITE, true, UserMode,
         STATUS_SUCCESS},
        {"query state does not give modify state", GENERIC_READ, EVENT_MODIFY_STATE, true, UserMode, STATUS_ACCESS_DENIED},
        {"an event is not a process", EVENT_ALL_ACCESS, READ_CONTROL, false, UserMode, STATUS_OBJECT_TYPE_MISMATCH},
        {"kernel mode skips the access check", SYNCHRONIZE, READ_CONTROL, true, KernelMode, STATUS_SUCCESS},
    };
    PEPROCESS process = NewProcess();
    for (const Case& c : cases) {
        HANDLE handle = CreateEventIn(process, c.granted);
        {
            UserModeScope user(process);
            PVOID object = reinterpret_cast<PVOID>(1);
            NTSTATUS status = ObReferenceObjectByHandle(handle, c.desired, c.asEvent ? *ExEventObjectType : *PsProcessType,
                                                        c.mode, &object, nullptr);
            EXPECT_EQ(c.expected, status) << c.what;
            if (NT_SUCCESS(status)) {
                ObDereferenceObject(object);
            } else {
                EXPECT_EQ(nullptr, object) << c.what;
            }
        }
        CloseIn(process, handle);
    }
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(UserEventsTest, HandleMeansNothingOutsideItsProcess)
{
    PEPROCESS owner = NewProcess();
    PEPROCESS other = NewProcess();
    HANDLE handle = CreateEventIn(owner);
    PVOID event = nullptr;
    {
        UserModeScope user(other);
        EXPECT_EQ(STATUS_INVALID_HANDLE,
                  ObReferenceObjectByHandle(handle, READ_CONTROL, *ExEventObjectType, UserMode, &event, nullptr));
    }
    // Nor in the System process, whose table is the kernel's.
    EXPECT_EQ(STATUS_INVALID_HANDLE,
              ObReferenceObjectByHandle(handle, READ_CONTROL, *ExEventObjectType, UserMode, &event, nullptr));
    CloseIn(owner, handle);
}

TEST_F(UserEventsTest, UserWaitConsumesASynchronizationEventButNotANotificationEvent)
{
    struct Case {
        EVENT_TYPE type;
        BOOLEAN signalled;
        NTSTATUS firstWait;
        NTSTATUS secondWait;
    };
    const Case cases[] = {
        {NotificationEvent, TRUE, STATUS_SUCCESS, STATUS_SUCCESS},
        {SynchronizationEvent, TRUE, STATUS_SUCCESS, STATUS_TIMEOUT},
        {NotificationEvent, FALSE, STATUS_TIMEOUT, STATUS_TIMEOUT},
        {SynchronizationEvent, FALSE, STATUS_TIMEOUT, STATUS_TIMEOUT},
    };
    PEPROCESS process = NewProcess();
    LARGE_INTEGER poll = Poll();
    for (const Case& c : cases) {
        HANDLE handle = CreateEventIn(process, EVENT_ALL_ACCESS, c.type, c.signalled);
        UserModeScope user(process);
        EXPECT_EQ(c.firstWait, UserWaitForSingleObject(handle, &poll)) << "type " << c.type << " signalled " << +c.signalled;
        EXPECT_EQ(c.secondWait, UserWaitForSingleObject(handle, &poll)) << "type " << c.type << " signalled " << +c.signalled;
        EXPECT_EQ(STATUS_SUCCESS, UserCloseHandle(handle));
    }
}

TEST_F(UserEventsTest, UserWaitNeedsSynchronizeAndAWaitableObject)
{
    PEPROCESS process = NewProcess();
    HANDLE noSynchronize = CreateEventIn(process, EVENT_MODIFY_STATE, NotificationEvent, TRUE);
    UserModeScope user(process);
    LARGE_INTEGER poll = Poll();
    EXPECT_EQ(STATUS_ACCESS_DENIED, UserWaitForSingleObject(noSynchronize, &poll));
    HANDLE processHandle;
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(process, 0, nullptr, SYNCHRONIZE, *PsProcessType, UserMode, &processHandle));
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, UserWaitForSingleObject(processHandle, &poll));
    EXPECT_EQ(STATUS_INVALID_HANDLE, UserWaitForSingleObject(reinterpret_cast<HANDLE>(0x400), &poll));
    EXPECT_EQ(STATUS_SUCCESS, UserCloseHandle(processHandle));
    EXPECT_EQ(STATUS_SUCCESS, UserCloseHandle(noSynchronize));
}

TEST_F(UserEventsTest, InvalidEventTypeIsRefused)
{
    PEPROCESS process = NewProcess();
    UserModeScope user(process);
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, UserCreateEvent(static_cast<EVENT_TYPE>(2), FALSE, &handle));
    EXPECT_EQ(nullptr, handle);
    EXPECT_EQ(0u, HandleTableOf(process).Count());
}

TEST_F(UserEventsTest, CreatingAnEventOutsideUserModeStopsTheMachine)
{
    HANDLE handle;
    EXPECT_DEATH((void)UserCreateEvent(NotificationEvent, FALSE, &handle), "UserCreateEvent.*UserModeScope");
}

TEST_F(UserEventsTest, KernelReferenceOutlivesTheUsersHandle)
{
    PEPROCESS process = NewProcess();
    HANDLE handle = CreateEventIn(process);
    PVOID event;
    {
        UserModeScope user(process);
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, READ_CONTROL, *ExEventObjectType, UserMode, &event, nullptr));
    }
    CloseIn(process, handle);
    EXPECT_EQ(0, HeaderOf(event).handles.load());
    EXPECT_EQ(1, HeaderOf(event).references.load());
    EXPECT_EQ(0, KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE));
    ObDereferenceObject(event);
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(UserEventsTest, ConcurrentKernelSetEventWakesAUserWaiter)
{
    PEPROCESS process = NewProcess();
    HANDLE handle = CreateEventIn(process, SYNCHRONIZE | READ_CONTROL, SynchronizationEvent);
    PVOID event;
    {
        UserModeScope user(process);
        ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, READ_CONTROL, *ExEventObjectType, UserMode, &event, nullptr));
    }
    NTSTATUS waited = STATUS_PENDING;
    std::thread waiter([&] {
        UserModeScope user(process);
        waited = UserWaitForSingleObject(handle, nullptr);
    });
    WaitForBlockedWaiters(1);
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_EQ(STATUS_SUCCESS, waited);
    // The waiter consumed the synchronization event.
    EXPECT_EQ(0, KeReadStateEvent(static_cast<PKEVENT>(event)));
    ObDereferenceObject(event);
    CloseIn(process, handle);
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

}  // namespace
}  // namespace vexsim::test
