// Starts redirection for a test the way the product's service does: the redirect names
// (redirect_config.h), the three redirect roots created (the root with its USER and MACHINE keys), and the start request sent through the
// control device, which prepares the copy's fixed keys, builds the URL-allowlist names and
// registers the notify routines, the registry callback and the prepared-key threads. The start
// returns once those threads have ended, so no test races their walk. Processes are put under the
// sandbox as the process settings do. The driver's unload undoes all of it. A start that cannot be
// made ends the program: nothing tested without it means anything.
#pragma once

#include "cow/cow.h"
#include "driver/global.h"
#include "process/process_lists.h"
#include "tests/support/kernel_key.h"
#include "tests/support/redirect_config.h"

#include <cstdlib>

namespace vextest {

// Waits until a prepared-key thread has walked its root.
inline void WaitForPreparedKeyThread(PENUM_PREPARED_KEY_WORK work)
{
    if (work != nullptr && work->Thread != nullptr &&
        KeWaitForSingleObject(work->Thread, Executive, KernelMode, FALSE, nullptr) != STATUS_SUCCESS) {
        std::abort();
    }
}

inline void StartRedirection()
{
    ConfigureRedirectNames();
    // The roots as the service lays them down, the copy's two halves included, before the start
    // adds its volatile keys below them.
    const std::u16string root = kRedirectRoot;
    for (const std::u16string& path : {root + u"\\USER", root + u"\\MACHINE", std::u16string(kRedirectUserClasses),
                                       std::u16string(kRedirectMachineClasses)}) {
        KernelKey key;
        if (key.CreatePath(path) != STATUS_SUCCESS) {
            std::abort();
        }
    }
    ControlService service;
    if (service.Send(IOCTL_SANDBOX_START_REG_REDIRECT, {}).status != STATUS_SUCCESS) {
        std::abort();
    }
    WaitForPreparedKeyThread(g_VexRegFilterData.UserClassesEnumThread);
    WaitForPreparedKeyThread(g_VexRegFilterData.MachineClassesEnumThread);
}

// Puts a process under the sandbox: its registry operations are redirected from now on.
inline void PutUnderSandbox(PEPROCESS process)
{
    if (InsertMonitoredProcess(&g_VexRegFilterData.MonitoredProcessList, process, PsGetProcessId(process), nullptr,
                               MONITORED_KIND_PROCESS, 1) != STATUS_SUCCESS) {
        std::abort();
    }
}

}  // namespace vextest
