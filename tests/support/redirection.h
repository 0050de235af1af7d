// Starts redirection for a test the way the driver's redirection start will: the redirect names
// with their Classes prefixes (redirect_config.h), the URL-allowlist key names, the three redirect
// roots, and RegistryCallback registered at the driver's altitude with g_VexRegFilterData as its
// context. Processes are put under the sandbox as the process settings do. The driver's unload
// undoes all of it. A start that cannot be made ends the program: nothing tested without it means
// anything.
#pragma once

#include "callback/callback.h"
#include "driver/global.h"
#include "names/url_allowlist.h"
#include "process/process_lists.h"
#include "tests/support/kernel_key.h"
#include "tests/support/redirect_config.h"

#include <cstdlib>

namespace vextest {

inline void StartRedirection()
{
    ConfigureRedirectNames();
    if (UAPInitialize() != STATUS_SUCCESS) {
        std::abort();
    }
    for (const char16_t* root : {kRedirectRoot, kRedirectUserClasses, kRedirectMachineClasses}) {
        KernelKey key;
        if (key.CreatePath(root) != STATUS_SUCCESS) {
            std::abort();
        }
    }
    if (CmRegisterCallbackEx(RegistryCallback, &g_VexRegFilterData.Altitude, g_VexRegFilterData.DriverObject, &g_VexRegFilterData,
                             &g_VexRegFilterData.CallbackCookie, nullptr) != STATUS_SUCCESS) {
        std::abort();
    }
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
