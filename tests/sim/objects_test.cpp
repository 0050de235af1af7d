// Object manager: handles, references, the access rules between user and kernel mode.
#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "sim_fixture.h"

#include <thread>
#include <vector>

namespace vexsim::test {
namespace {

class ObjectsTest : public SimKernelTest {
protected:
    PEPROCESS NewProcess()
    {
        return CreateUserProcess(ProcessParams{u"\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe"});
    }
};

TEST_F(ObjectsTest, KernelHandlesCarryTheHighBitsAndValuesAreReusedLowestFirst)
{
    PEPROCESS system = PsInitialSystemProcess;
    LONG_PTR references = HeaderOf(system).references.load();
    HANDLE first, second, third;
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(system, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &first));
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(system, OBJ_KERNEL_HANDLE, nullptr, 0, *PsProcessType, KernelMode, &second));
    EXPECT_EQ(0xFFFFFFFF80000004ULL, reinterpret_cast<ULONG_PTR>(first));
    EXPECT_EQ(0xFFFFFFFF80000008ULL, reinterpret_cast<ULONG_PTR>(second));
    EXPECT_EQ(2, HeaderOf(system).handles.load());
    EXPECT_EQ(references + 2, HeaderOf(system).references.load());

    EXPECT_EQ(STATUS_SUCCESS, ZwClose(first));
    EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(first)) << "a closed handle is gone";
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(system, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &third));
    EXPECT_EQ(first, third) << "the lowest closed value comes back first";

    EXPECT_EQ(STATUS_SUCCESS, ZwClose(second));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(third));
    EXPECT_EQ(0, HeaderOf(system).handles.load());
    EXPECT_EQ(references, HeaderOf(system).references.load());
}

TEST_F(ObjectsTest, BadHandlesAreInvalid)
{
    for (ULONG_PTR value : {0x0ULL, 0x4ULL, 0x7ULL, 0xFFFFFFFF80000010ULL}) {
        PVOID object = nullptr;
        EXPECT_EQ(STATUS_INVALID_HANDLE, ZwClose(reinterpret_cast<HANDLE>(value))) << std::hex << value;
        EXPECT_EQ(STATUS_INVALID_HANDLE, ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(value), 0, nullptr, KernelMode,
                                                                   &object, nullptr))
            << std::hex << value;
    }
}

TEST_F(ObjectsTest, UserModeCannotUseKernelHandles)
{
    PEPROCESS process = NewProcess();
    HANDLE kernelHandle;
    ASSERT_EQ(STATUS_SUCCESS,
              ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, PROCESS_ALL_ACCESS, nullptr, KernelMode, &kernelHandle));
    UserModeScope user(process);
    PVOID object = nullptr;
    EXPECT_EQ(STATUS_INVALID_HANDLE, ObReferenceObjectByHandle(kernelHandle, 0, *PsProcessType, UserMode, &object, nullptr));
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(kernelHandle, 0, *PsProcessType, KernelMode, &object, nullptr))
        << "kernel mode may use kernel handles from any process";
    EXPECT_EQ(process, object);
    ObDereferenceObject(object);
    EXPECT_EQ(STATUS_INVALID_HANDLE, CloseHandle(kernelHandle, UserMode)) << "user mode cannot close a kernel handle";
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(kernelHandle)) << "a Zw call runs with previous mode KernelMode";
}

TEST_F(ObjectsTest, UserModeReferenceNeedsTheRightsTheHandleGranted)
{
    PEPROCESS process = NewProcess();
    UserModeScope user(process);
    HANDLE handle;
    ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(process, 0, nullptr, PROCESS_QUERY_LIMITED_INFORMATION, *PsProcessType,
                                                    UserMode, &handle));
    EXPECT_FALSE(IsKernelHandle(handle)) << "without OBJ_KERNEL_HANDLE the handle goes to the user process's table";
    EXPECT_EQ(4u, reinterpret_cast<ULONG_PTR>(handle));

    struct Case {
        ACCESS_MASK desired;
        KPROCESSOR_MODE mode;
        NTSTATUS expected;
    } cases[] = {
        {PROCESS_QUERY_LIMITED_INFORMATION, UserMode, STATUS_SUCCESS},     // exactly what was granted
        {0, UserMode, STATUS_SUCCESS},                                      // nothing asked
        {PROCESS_QUERY_INFORMATION, UserMode, STATUS_ACCESS_DENIED},        // a right not granted
        {GENERIC_READ, UserMode, STATUS_ACCESS_DENIED},                     // generic read maps to more rights
        {PROCESS_ALL_ACCESS, KernelMode, STATUS_SUCCESS},                   // kernel mode skips the check
    };
    for (const Case& c : cases) {
        PVOID object = nullptr;
        OBJECT_HANDLE_INFORMATION info{};
        EXPECT_EQ(c.expected, ObReferenceObjectByHandle(handle, c.desired, *PsProcessType, c.mode, &object, &info))
            << std::hex << c.desired << " mode " << int(c.mode);
        if (object != nullptr) {
            EXPECT_EQ(static_cast<ACCESS_MASK>(PROCESS_QUERY_LIMITED_INFORMATION), info.GrantedAccess);
            ObDereferenceObject(object);
        }
    }
    EXPECT_EQ(STATUS_SUCCESS, CloseHandle(handle, UserMode));
}

TEST_F(ObjectsTest, TypeMismatchTakesNoReference)
{
    HANDLE handle;
    ASSERT_EQ(STATUS_SUCCESS,
              ObOpenObjectByPointer(PsInitialSystemProcess, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle));
    LONG_PTR references = HeaderOf(PsInitialSystemProcess).references.load();
    PVOID object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH, ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &object, nullptr));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(references, HeaderOf(PsInitialSystemProcess).references.load());
    HANDLE other;
    EXPECT_EQ(STATUS_OBJECT_TYPE_MISMATCH,
              ObOpenObjectByPointer(PsInitialSystemProcess, OBJ_KERNEL_HANDLE, nullptr, 0, *PsThreadType, KernelMode, &other));
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
}

TEST_F(ObjectsTest, CurrentProcessPseudoHandleNamesTheCallersProcess)
{
    PEPROCESS process = NewProcess();
    PVOID object = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(NtCurrentProcess(), 0, *PsProcessType, KernelMode, &object, nullptr));
    EXPECT_EQ(PsInitialSystemProcess, object);
    ObDereferenceObject(object);
    UserModeScope user(process);
    ASSERT_EQ(STATUS_SUCCESS,
              ObReferenceObjectByHandle(NtCurrentProcess(), PROCESS_ALL_ACCESS, *PsProcessType, UserMode, &object, nullptr));
    EXPECT_EQ(process, object);
    ObDereferenceObject(object);
}

TEST_F(ObjectsTest, UnloadCheckNamesDriverReferencesAndKernelHandlesButNotTheKernelsOwnReferences)
{
    PEPROCESS process = NewProcess();
    ObReferenceObject(process);
    ReferenceObject(process);  // the simulated kernel's own, not the driver's
    HANDLE handle;
    ASSERT_EQ(STATUS_SUCCESS,
              ObOpenObjectByPointer(PsInitialSystemProcess, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle));
    Leftovers expected{
        "kernel handle 0xffffffff80000004 to Process (pid 4, System) still open",
        "reference held by the driver on Process (pid " + std::to_string(process->id) + ", notepad.exe): 1",
    };
    EXPECT_EQ(expected, AllLeftovers());

    ObDereferenceObject(process);
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle));
    EXPECT_EQ(Leftovers{}, AllLeftovers());
    DereferenceObject(process);
}

TEST_F(ObjectsTest, DereferencingMoreThanReferencedStopsTheMachine)
{
    PVOID event = CreateObject(*ExEventObjectType, sizeof(KEVENT));
    DereferenceObject(event);
    EXPECT_DEATH(ObDereferenceObject(event), "STOP.*already deleted");
}

TEST_F(ObjectsTest, ConcurrentOpenAndCloseLeaveTheTableEmpty)
{
    CurrentContext();  // boot-time adoption of this thread before the workers start
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([] {
            for (int i = 0; i < 200; ++i) {
                HANDLE handle;
                ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(PsInitialSystemProcess, OBJ_KERNEL_HANDLE, nullptr, 0,
                                                                nullptr, KernelMode, &handle));
                PVOID object;
                ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr));
                ObDereferenceObject(object);
                ASSERT_EQ(STATUS_SUCCESS, ZwClose(handle));
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(0u, KernelHandleTable().Count());
    EXPECT_EQ(0, HeaderOf(PsInitialSystemProcess).handles.load());
}

}  // namespace
}  // namespace vexsim::test
