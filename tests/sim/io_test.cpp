// I/O manager: devices, symbolic links, user-mode device I/O and work items.
#include "sim/executive/fault_injection.h"
#include "sim/io/io.h"
#include "sim/ob/object.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "sim_fixture.h"

#include <cstring>
#include <vector>

namespace vexsim::test {
namespace {

constexpr ULONG kEchoCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kWriteCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_WRITE_ACCESS);

struct DriverLog {
    std::vector<UCHAR> majors;
    ULONG_PTR processId = 0;
    KPROCESSOR_MODE requestorMode = KernelMode;
};
DriverLog g_log;

// Input: {ULONG information; NTSTATUS status}. Fills the whole output length with 0xAB and
// reports the information count asked for.
NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    g_log.majors.push_back(stack->MajorFunction);
    g_log.processId = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
    g_log.requestorMode = irp->RequestorMode;
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        struct {
            ULONG information;
            NTSTATUS status;
        } request;
        std::memcpy(&request, irp->AssociatedIrp.SystemBuffer, sizeof(request));
        std::memset(irp->AssociatedIrp.SystemBuffer, 0xAB, stack->Parameters.DeviceIoControl.OutputBufferLength);
        irp->IoStatus.Information = request.information;
        status = request.status;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI ForgetToComplete(PDEVICE_OBJECT, PIRP)
{
    return STATUS_SUCCESS;
}

class IoTest : public SimKernelTest {
protected:
    void SetUp() override
    {
        SimKernelTest::SetUp();
        g_log = DriverLog{};
        driver_ = CreateDriverObject(u"VexTest");
    }

    void TearDown() override
    {
        DeleteDriverObject(driver_);
        SimKernelTest::TearDown();
    }

    PDEVICE_OBJECT CreateControlDevice()
    {
        UNICODE_STRING deviceName = Name(u"\\Device\\VexTest");
        UNICODE_STRING linkName = Name(u"\\DosDevices\\VexTest");
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 24, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        EXPECT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&linkName, &deviceName));
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE, IRP_MJ_DEVICE_CONTROL}) {
            driver_->MajorFunction[major] = Dispatch;
        }
        FinishDriverInitialization(driver_);
        return device;
    }

    void DeleteControlDevice(PDEVICE_OBJECT device)
    {
        UNICODE_STRING linkName = Name(u"\\??\\VexTest");
        EXPECT_EQ(STATUS_SUCCESS, IoDeleteSymbolicLink(&linkName));
        IoDeleteDevice(device);
    }

    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(IoTest, CreateDeviceLinksItZeroesItsExtensionAndRefusesATakenName)
{
    UNICODE_STRING name = Name(u"\\Device\\VexTest");
    PDEVICE_OBJECT first = nullptr;
    PDEVICE_OBJECT second = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 40, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first));
    EXPECT_EQ(driver_, first->DriverObject);
    EXPECT_EQ(first, driver_->DeviceObject);
    EXPECT_TRUE(first->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(0u, reinterpret_cast<ULONG_PTR>(first->DeviceExtension) % 16);
    EXPECT_EQ(std::vector<char>(40, 0), std::vector<char>(static_cast<char*>(first->DeviceExtension),
                                                          static_cast<char*>(first->DeviceExtension) + 40));
    UNICODE_STRING otherCase = Name(u"\\DEVICE\\vextest");
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateDevice(driver_, 0, &otherCase, FILE_DEVICE_UNKNOWN, 0, FALSE, &second));
    EXPECT_EQ(nullptr, second);
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second));
    EXPECT_EQ(second, driver_->DeviceObject) << "new devices go to the head of the chain";
    EXPECT_EQ(first, second->NextDevice);

    IoDeleteDevice(second);
    EXPECT_EQ(first, driver_->DeviceObject);
    IoDeleteDevice(first);
    EXPECT_EQ(nullptr, driver_->DeviceObject);
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(IoTest, DevicesAndLinksFailForLackOfPoolAndCreateNothing)
{
    UNICODE_STRING deviceName = Name(u"\\Device\\VexTest");
    UNICODE_STRING linkName = Name(u"\\DosDevices\\VexTest");
    LONG_PTR driverReferences = HeaderOf(driver_).references.load();
    PDEVICE_OBJECT device = reinterpret_cast<PDEVICE_OBJECT>(1);
    FailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, IoCreateDevice(driver_, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    EXPECT_EQ(nullptr, device);
    EXPECT_EQ(nullptr, driver_->DeviceObject);
    EXPECT_EQ(driverReferences, HeaderOf(driver_).references.load()) << "no device holds the driver";
    FailNthAllocation(1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, IoCreateSymbolicLink(&linkName, &deviceName));
    ClearAllocationFailures();
    EXPECT_EQ(Leftovers{}, AllLeftovers());

    // Neither name was taken by the failed attempts.
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    ASSERT_EQ(STATUS_SUCCESS, IoCreateSymbolicLink(&linkName, &deviceName));
    DeleteControlDevice(device);
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(IoTest, SymbolicLinkNamesShareTheDosDevicesNamespace)
{
    UNICODE_STRING target = Name(u"\\Device\\VexTest");
    struct Case {
        const char16_t* create;
        const char16_t* remove;
        NTSTATUS createStatus;
        NTSTATUS removeStatus;
    } cases[] = {
        {u"\\DosDevices\\VexTest", u"\\??\\VexTest", STATUS_SUCCESS, STATUS_SUCCESS},
        {u"\\??\\VexTest", u"\\DosDevices\\vextest", STATUS_SUCCESS, STATUS_SUCCESS},
        {u"VexTest", u"VexTest", STATUS_OBJECT_PATH_SYNTAX_BAD, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"", u"", STATUS_OBJECT_NAME_INVALID, STATUS_OBJECT_NAME_INVALID},
    };
    for (const Case& c : cases) {
        UNICODE_STRING create = Name(c.create);
        UNICODE_STRING remove = Name(c.remove);
        EXPECT_EQ(c.createStatus, IoCreateSymbolicLink(&create, &target));
        if (c.createStatus == STATUS_SUCCESS) {
            EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, IoCreateSymbolicLink(&remove, &target));
        }
        EXPECT_EQ(c.removeStatus, IoDeleteSymbolicLink(&remove));
        if (c.removeStatus == STATUS_SUCCESS) {
            EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, IoDeleteSymbolicLink(&remove));
        }
    }
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(IoTest, DeviceIoControlCopiesBackExactlyInformationBytes)
{
    PDEVICE_OBJECT device = CreateControlDevice();
    PEPROCESS process = CreateUserProcess(ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\vexctl.exe"});
    {
        UserModeScope user(process);
        HANDLE handle = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, UserOpenFile(u"\\\\.\\VexTest", GENERIC_READ | GENERIC_WRITE, &handle));
        struct Case {
            ULONG information;
            NTSTATUS status;
            ULONG outputLength;
            ULONG expectedCopied;
        } cases[] = {
            {5, STATUS_SUCCESS, 16, 5},              // part of the output buffer
            {0, STATUS_SUCCESS, 16, 0},              // nothing to return
            {16, STATUS_BUFFER_OVERFLOW, 16, 16},    // warnings still copy
            {40, STATUS_SUCCESS, 16, 16},            // never past the caller's buffer
            {8, STATUS_INVALID_PARAMETER, 16, 0},    // errors copy nothing
        };
        for (const Case& c : cases) {
            struct {
                ULONG information;
                NTSTATUS status;
            } input{c.information, c.status};
            std::vector<unsigned char> output(32, 0xCC);
            ULONG returned = 0xFFFF;
            EXPECT_EQ(c.status, UserDeviceIoControl(handle, kEchoCode, &input, sizeof(input), output.data(), c.outputLength, &returned));
            EXPECT_EQ(c.expectedCopied, returned) << c.information;
            std::vector<unsigned char> expected(32, 0xCC);
            std::fill(expected.begin(), expected.begin() + c.expectedCopied, 0xAB);
            EXPECT_EQ(expected, output) << c.information;
        }
        EXPECT_EQ(process->id, g_log.processId);
        EXPECT_EQ(UserMode, g_log.requestorMode);
        EXPECT_EQ(STATUS_SUCCESS, UserCloseHandle(handle));
        EXPECT_EQ(STATUS_INVALID_HANDLE, UserCloseHandle(handle));
    }
    std::vector<UCHAR> expected{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_DEVICE_CONTROL, IRP_MJ_DEVICE_CONTROL,
                                IRP_MJ_DEVICE_CONTROL, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE};
    EXPECT_EQ(expected, g_log.majors);
    DeleteControlDevice(device);
    EXPECT_EQ(Leftovers{}, AllLeftovers());
}

TEST_F(IoTest, OpenAndControlAnswerWithTheStatusesWindowsGives)
{
    PDEVICE_OBJECT device = CreateControlDevice();
    device->Flags |= DO_DEVICE_INITIALIZING;
    PEPROCESS process = CreateUserProcess(ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\vexctl.exe"});
    UserModeScope user(process);
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, UserOpenFile(u"\\\\.\\VexTest", GENERIC_READ, &handle));
    FinishDriverInitialization(driver_);
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, UserOpenFile(u"\\\\.\\NoSuchDevice", GENERIC_READ, &handle));
    ASSERT_EQ(STATUS_SUCCESS, UserOpenFile(u"\\??\\VexTest", GENERIC_READ, &handle));
    ULONG returned = 0;
    char buffer[8] = {};
    EXPECT_EQ(STATUS_ACCESS_DENIED, UserDeviceIoControl(handle, kWriteCode, buffer, 8, buffer, 8, &returned))
        << "the code demands write access the handle lacks";
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = nullptr;
    EXPECT_DEATH((void)UserDeviceIoControl(handle, kEchoCode, buffer, 8, buffer, 8, &returned), "STOP.*cleared its dispatch");
    EXPECT_EQ(STATUS_SUCCESS, UserCloseHandle(handle));
    DeleteControlDevice(device);
}

TEST_F(IoTest, UnhandledMajorFunctionsAreInvalidDeviceRequests)
{
    UNICODE_STRING deviceName = Name(u"\\Device\\VexTest");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    FinishDriverInitialization(driver_);
    PEPROCESS process = CreateUserProcess(ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\vexctl.exe"});
    UserModeScope user(process);
    HANDLE handle = nullptr;
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, UserOpenFile(u"\\Device\\VexTest", GENERIC_READ, &handle));
    EXPECT_EQ(nullptr, handle);
    IoDeleteDevice(device);
}

TEST_F(IoTest, ADispatchRoutineThatDoesNotCompleteStopsTheMachine)
{
    PDEVICE_OBJECT device = CreateControlDevice();
    driver_->MajorFunction[IRP_MJ_CREATE] = ForgetToComplete;
    PEPROCESS process = CreateUserProcess(ProcessParams{u"\\Device\\HarddiskVolume3\\Tools\\vexctl.exe"});
    UserModeScope user(process);
    HANDLE handle = nullptr;
    EXPECT_DEATH((void)UserOpenFile(u"\\\\.\\VexTest", GENERIC_READ, &handle), "STOP.*without completing IRP_MJ 0");
    DeleteControlDevice(device);
}

TEST_F(IoTest, UnloadCheckNamesDevicesAndLinksLeftBehind)
{
    PDEVICE_OBJECT device = CreateControlDevice();
    Leftovers expected{
        "device \\Device\\VexTest of \\Driver\\VexTest not deleted",
        "symbolic link \\??\\VexTest -> \\Device\\VexTest not deleted",
    };
    EXPECT_EQ(expected, AllLeftovers());
    DeleteControlDevice(device);
}

struct WorkLog {
    PDEVICE_OBJECT device = nullptr;
    ULONG_PTR processId = 0;
    KIRQL irql = HIGH_LEVEL;
    LONG_PTR deviceReferences = 0;
    PIO_WORKITEM freeMe = nullptr;
};

VOID NTAPI WorkRoutine(PDEVICE_OBJECT device, PVOID context)
{
    auto* log = static_cast<WorkLog*>(context);
    log->device = device;
    log->processId = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
    log->irql = CurrentContext().irql;
    log->deviceReferences = HeaderOf(device).references.load();
    if (log->freeMe != nullptr) {
        IoFreeWorkItem(log->freeMe);
    }
}

TEST_F(IoTest, WorkItemsRunOnASystemWorkerHoldingADeviceReferenceAndAreFreedOnce)
{
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
    LONG_PTR references = HeaderOf(device).references.load();
    for (bool freedByRoutine : {false, true}) {
        PIO_WORKITEM item = IoAllocateWorkItem(device);
        ASSERT_NE(nullptr, item);
        WorkLog log;
        log.freeMe = freedByRoutine ? item : nullptr;
        IoQueueWorkItem(item, WorkRoutine, DelayedWorkQueue, &log);
        WaitForWorkQueueIdle();
        EXPECT_EQ(device, log.device);
        EXPECT_EQ(4u, log.processId);
        EXPECT_EQ(PASSIVE_LEVEL, log.irql);
        EXPECT_EQ(references + 1, log.deviceReferences);
        EXPECT_EQ(references, HeaderOf(device).references.load()) << "the reference goes when the routine returns";
        if (!freedByRoutine) {
            Leftovers expected{"device <unnamed> of \\Driver\\VexTest not deleted",
                               "work item for <unnamed> allocated and not freed"};
            EXPECT_EQ(expected, AllLeftovers());
            IoFreeWorkItem(item);
        }
        EXPECT_EQ(Leftovers{"device <unnamed> of \\Driver\\VexTest not deleted"}, AllLeftovers());
    }
    PIO_WORKITEM freed = IoAllocateWorkItem(device);
    IoFreeWorkItem(freed);
    EXPECT_DEATH(IoFreeWorkItem(freed), "STOP.*already freed");
    IoDeleteDevice(device);
}

}  // namespace
}  // namespace vexsim::test
