// libFuzzer target for the control device: each input is one request from a user-mode service
// process through the simulated I/O manager. The first byte picks the control (one of the 28, or
// a raw code from the next four bytes), the next two bytes give the output length, the rest is
// the input. The machine and the driver live across inputs, so configuration, start and stop
// build on each other as they do for a real service. A machine stop (the simulator's verifier)
// aborts, which libFuzzer reports as a crash.
#include "driver/control_codes.h"
#include "driver/global.h"
#include "sim/io/io.h"
#include "sim/machine/machine.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

const ULONG kControls[] = {
    IOCTL_SANDBOX_SET_PARENT_PROCESS,         IOCTL_SANDBOX_DEL_PROCESS,
    IOCTL_SANDBOX_IS_UNDER_SANDBOX,           IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME,
    IOCTL_SANDBOX_SET_REG_VALUE,              IOCTL_SANDBOX_START_REG_REDIRECT,
    IOCTL_SANDBOX_STOP_REG_REDIRECT,          IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME,
    IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, IOCTL_SANDBOX_IS_EXIST_UNDER_SANDBOX,
    IOCTL_SANDBOX_ADD_EXCLUDE_KEY_NAME,       IOCTL_SANDBOX_RESET_EXCLUDE_KEY_NAME,
    IOCTL_SANDBOX_GET_PID_LIST_UNDER_SANDBOX, IOCTL_START_LOGGING,
    IOCTL_STOP_LOGGING,                       IOCTL_GET_LOG_DATA,
    IOCTL_SANDBOX_SET_PROCESS,                IOCTL_SANDBOX_SET_ROOT_PROCESS,
    IOCTL_SANDBOX_GET_CHILD_OF_ROOT_PID_LIST, IOCTL_ADD_EXC_PROCESS,
    IOCTL_GET_CUI_PID_LIST,                   IOCTL_GET_SURROGATE_PID_LIST,
    IOCTL_OUTPUT_CURRENT_PARAM,               IOCTL_GET_PID_PPID_LIST,
    IOCTL_SANDBOX_ADD_EXCLUDE_VALUE_NAME,     IOCTL_SANDBOX_RESET_EXCLUDE_VALUE_NAME,
    IOCTL_ADD_PROCESS_TREE_MONITOR,           IOCTL_EXIST_PROCESS_TREE,
};
constexpr size_t kControlCount = sizeof(kControls) / sizeof(kControls[0]);
constexpr size_t kMaxOutput = 4096;

struct Service {
    PEPROCESS process = nullptr;
    HANDLE device = nullptr;
};

Service* g_service = nullptr;

// At the end of the run the driver unloads and must leave nothing behind; then the machine shuts
// down, ending its threads before the host's static objects go.
void UnloadAtExit()
{
    {
        vexsim::UserModeScope user(g_service->process);
        (void)vexsim::UserCloseHandle(g_service->device);
    }
    vexsim::EndProcess(g_service->process);
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    if (result.status != STATUS_SUCCESS || !result.leftovers.empty()) {
        __builtin_trap();
    }
    vexsim::ShutdownMachine();
}

Service& BootOnce()
{
    static Service service = [] {
        Service booted;
        vexsim::BootMachine(vexsim::MachineConfig{});
        if (vexsim::LoadDriver(DriverEntry, "VexRegFilter") != STATUS_SUCCESS) {
            __builtin_trap();
        }
        booted.process = vexsim::CreateUserProcess({u"\\Device\\HarddiskVolume3\\Program Files\\Tessaline\\service.exe"});
        vexsim::UserModeScope user(booted.process);
        if (vexsim::UserOpenFile(u"\\\\.\\VexRegFilter", GENERIC_READ | GENERIC_WRITE, &booted.device) != STATUS_SUCCESS) {
            __builtin_trap();
        }
        return booted;
    }();
    if (g_service == nullptr) {
        g_service = &service;
        std::atexit(UnloadAtExit);
    }
    return service;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Service& service = BootOnce();
    if (size < 3) {
        return 0;
    }
    ULONG code;
    size_t at = 1;
    if (data[0] < 2 * kControlCount) {
        code = kControls[data[0] % kControlCount];
    } else if (size >= 5) {
        std::memcpy(&code, data + 1, sizeof(code));
        at = 5;
    } else {
        return 0;
    }
    if (size < at + 2) {
        return 0;
    }
    ULONG outputLength = (data[at] | (data[at + 1] << 8)) % (kMaxOutput + 1);
    at += 2;
    std::vector<unsigned char> input(data + at, data + size);
    std::vector<unsigned char> output(outputLength);
    ULONG returned = 0;
    vexsim::UserModeScope user(service.process);
    (void)vexsim::UserDeviceIoControl(service.device, code, input.empty() ? nullptr : input.data(), (ULONG)input.size(),
                                      output.empty() ? nullptr : output.data(), outputLength, &returned);
    if (returned > outputLength) {
        __builtin_trap();
    }
    return 0;
}
