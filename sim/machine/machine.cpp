// The machine: boots the components in dependency order, loads and unloads one driver at a time,
// and runs the unload check.
//
// Boot order: the executive first (pool, clock, dispatcher), then the run-time library, the
// object manager with the System process, the I/O manager (its worker thread is a System thread),
// the filter manager and the configuration manager (its key objects need the object manager).
// Shutdown runs in reverse, so the worker thread ends before the objects it runs as, and the
// registry stops before the object store frees the key objects still open.
#include "sim/machine/machine.h"

#include "sim/flt/filter.h"
#include "sim/machine/driver_package.h"
#include "sim/io/io.h"
#include "sim/io/io_internal.h"
#include "sim/ob/namespace.h"
#include "sim/ob/object.h"
#include "sim/rtl/utf.h"


namespace vexsim {

namespace {

struct MachineState {
    bool running = false;
    MachineConfig config;             // what the running machine booted with
    PDRIVER_OBJECT driver = nullptr;  // the loaded driver, or null
    std::u16string registryPath;      // the service key handed to the entry point
};

MachineState g_machine;

// Asks the driver's filters to unload (a mandatory unload cannot be refused), then calls
// DriverUnload and deletes the driver object. Returns the filters' answer; a refused optional
// unload leaves the driver loaded.
NTSTATUS UnloadLoadedDriver(bool mandatory)
{
    PDRIVER_OBJECT driver = g_machine.driver;
    NTSTATUS status = UnloadFilters(driver, mandatory);
    if (!NT_SUCCESS(status) && !mandatory) {
        return status;
    }
    if (driver->DriverUnload != nullptr) {
        driver->DriverUnload(driver);
    }
    WaitForWorkQueueIdle();
    DeleteDriverObject(driver);
    g_machine.driver = nullptr;
    return status;
}

// Devices every Windows machine has, here only by name: \Device\Null of the Null driver (a
// create or open of it as a key gives STATUS_OBJECT_TYPE_MISMATCH) and \Device\Mailslot of the
// mailslot file system, below which mailslots are opened. Like the volumes, they are the
// machine's own and never show in an unload check; shutdown frees them with every object.
void CreateMachineDevice(const std::u16string& name, const std::u16string& driverName, ULONG deviceType)
{
    PDRIVER_OBJECT driver = CreateDriverObject(driverName);
    auto device = static_cast<PDEVICE_OBJECT>(CreateObject(DeviceObjectType(), sizeof(DEVICE_OBJECT), name));
    device->Type = kIoTypeDevice;
    device->Size = sizeof(DEVICE_OBJECT);
    device->DeviceType = deviceType;
    device->DriverObject = driver;  // the device keeps the reference CreateDriverObject gave
    if (!NT_SUCCESS(InsertObjectName(name, device))) {
        StopMachine("the machine could not name " + Utf16ToUtf8(name) + " at boot");
    }
}

void BootComponents(const MachineConfig& config, KeptRegistry keptRegistry)
{
    StartNewBoot();
    ExecutiveBoot(config);
    RuntimeBoot(config);
    ObjectsBoot(config);
    IoBoot(config);
    CreateMachineDevice(u"\\Device\\Null", u"Null", FILE_DEVICE_NULL);
    CreateMachineDevice(u"\\Device\\Mailslot", u"Msfs", FILE_DEVICE_MAILSLOT);
    FilterManagerBoot(config);
    RegistryBoot(config, std::move(keptRegistry));
    g_machine.config = config;
    g_machine.running = true;
}

// Shuts the running machine down; keptRegistry, when given, receives the registry's tree as the
// last driver left it.
void ShutdownComponents(KeptRegistry* keptRegistry)
{
    // A driver still loaded is unloaded first, so that its own static state lets go of the
    // machine's objects before they go.
    if (g_machine.driver != nullptr) {
        (void)UnloadLoadedDriver(true);
    }
    if (keptRegistry != nullptr) {
        *keptRegistry = KeepRegistryForRestart();
    }
    RegistryShutdown();
    FilterManagerShutdown();
    IoShutdown();
    ObjectsShutdown();
    RuntimeShutdown();
    ExecutiveShutdown();
    g_machine.running = false;
}

}  // namespace

void BootMachine(const MachineConfig& config)
{
    ShutdownMachine();
    BootComponents(config, nullptr);
}

void ShutdownMachine()
{
    if (g_machine.running) {
        ShutdownComponents(nullptr);
    }
}

void RebootMachine()
{
    if (!g_machine.running) {
        StopMachine("no machine has booted");
    }
    MachineConfig config = g_machine.config;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    config.systemTime = now.QuadPart;
    KeptRegistry keptRegistry;
    ShutdownComponents(&keptRegistry);
    BootComponents(config, std::move(keptRegistry));
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string& name, const DriverImage& image)
{
    if (!g_machine.running || g_machine.driver != nullptr) {
        StopMachine(g_machine.running ? "a driver is already loaded" : "no machine has booted");
    }
    if (!image.inf.empty()) {
        std::string problem;
        if (!NT_SUCCESS(InstallDriverPackage(image.inf, &problem))) {
            StopMachine("the driver package " + image.inf + " cannot be installed: " + problem);
        }
    }
    std::u16string wideName = Utf8ToUtf16(name);
    PDRIVER_OBJECT driver = CreateDriverObject(wideName, image);
    g_machine.registryPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + wideName;
    UNICODE_STRING registryPath;
    registryPath.Buffer = (PWSTR)g_machine.registryPath.data();
    registryPath.Length = (USHORT)(g_machine.registryPath.size() * sizeof(WCHAR));
    registryPath.MaximumLength = registryPath.Length;

    // A loaded driver has its service key, whether its package made it or not.
    OBJECT_ATTRIBUTES serviceKey;
    InitializeObjectAttributes(&serviceKey, &registryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (NT_SUCCESS(ZwCreateKey(&key, KEY_ALL_ACCESS, &serviceKey, 0, nullptr, 0, nullptr))) {
        (void)ZwClose(key);
    }

    NTSTATUS status = entry(driver, &registryPath);
    if (!NT_SUCCESS(status)) {
        DeleteDriverObject(driver);
        return status;
    }
    FinishDriverInitialization(driver);
    g_machine.driver = driver;
    return status;
}

UnloadResult UnloadDriver()
{
    if (g_machine.driver == nullptr) {
        StopMachine("no driver is loaded");
    }
    UnloadResult result;
    result.status = UnloadLoadedDriver(false);
    if (NT_SUCCESS(result.status)) {
        result.leftovers = CheckLeftovers();
    }
    return result;
}

Leftovers CheckLeftovers()
{
    Leftovers leftovers;
    ExecutiveLeftovers(leftovers);
    ObjectsLeftovers(leftovers);
    IoLeftovers(leftovers);
    FilterManagerLeftovers(leftovers);
    RegistryLeftovers(leftovers);
    return leftovers;
}

std::string FormatUnloadReport(const Leftovers& leftovers)
{
    if (leftovers.empty()) {
        return "Unload check: clean. Nothing of the driver is left in the machine.\n";
    }
    std::string report = "Unload check: FAILED. The driver left " + std::to_string(leftovers.size()) + " thing" +
                         (leftovers.size() == 1 ? "" : "s") + " behind:\n";
    for (const std::string& line : leftovers) {
        report += "  - " + line + "\n";
    }
    return report;
}

PDRIVER_OBJECT LoadedDriverObject()
{
    return g_machine.driver;
}

}  // namespace vexsim
