// Redirection start and stop, and the fixed keys the start prepares in the private copy.
#include "driver/redirection.h"

#include "callback/callback.h"
#include "common/debug_print.h"
#include "common/name_buffer.h"
#include "cow/cow.h"
#include "driver/global.h"
#include "driver/process_notify.h"
#include "names/names.h"
#include "names/url_allowlist.h"
#include "notify/notify.h"
#include "process/process_lists.h"
#include "tables/builtin_lists.h"
#include "tables/key_lists.h"

static const UNICODE_STRING g_UserRegistry = CONSTANT_NAME(L"\\Registry\\User\\");
static const UNICODE_STRING g_Separator = CONSTANT_NAME(L"\\");
static const UNICODE_STRING g_InternetSettingsTail =
    CONSTANT_NAME(L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings");
static const UNICODE_STRING g_FileSystemTail = CONSTANT_NAME(L"\\System\\CurrentControlSet\\Control\\FileSystem");
static const UNICODE_STRING g_LongPathsEnabled = CONSTANT_NAME(L"LongPathsEnabled");

// The parts joined, exactly sized, into an empty Name; the capacity is summed in 32 bits and
// checked by the name builder.
static NTSTATUS BuildName(PUNICODE_STRING Name, PCUNICODE_STRING const* Parts, ULONG Count)
{
    ULONG capacity = 0;
    for (ULONG i = 0; i < Count; i++) {
        capacity += Parts[i]->Length;
    }
    NTSTATUS status = AllocateName(Name, capacity);
    for (ULONG i = 0; NT_SUCCESS(status) && i < Count; i++) {
        AppendName(Name, Parts[i]);
    }
    return status;
}

static BOOLEAN ReadRegisteredFlag(PFAST_MUTEX Lock, const BOOLEAN* Flag)
{
    ExAcquireFastMutex(Lock);
    BOOLEAN registered = *Flag;
    ExReleaseFastMutex(Lock);
    return registered;
}

NTSTATUS CreateLongPathsEnabled(VOID)
{
    UNICODE_STRING key = {0, 0, NULL};
    PCUNICODE_STRING parts[] = {&g_VexRegFilterData.RedirectRootKeyNameMachine, &g_FileSystemTail};
    NTSTATUS status = BuildName(&key, parts, RTL_NUMBER_OF(parts));
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("RedirectKey.Buffer allocate error\n");
        return status;
    }
    PrintPrefixed("    RedirectKey = '%wZ'\n", &key);
    PrintPrefixed("CreateRegData :\n    key = %wZ name = %wZ data = 1\n", &key, &g_LongPathsEnabled);
    ULONG enabled = 1;
    status = CreateRegData(&key, &g_LongPathsEnabled, REG_DWORD, &enabled, sizeof(enabled));
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CreateRegData - Failed. status = %x\n    key = %wZ name = %wZ data = 1\n", status, &key,
                      &g_LongPathsEnabled);
    }
    FreeOwnedString(&key);
    return status;
}

// The user's real Internet Settings key and its place in the copy, replacing earlier values.
static NTSTATUS BuildInternetSettingsNames(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    FreeOwnedString(&data->InternetSettingsKey);
    FreeOwnedString(&data->RedirectInternetSettingsKey);
    PCUNICODE_STRING realParts[] = {&g_UserRegistry, &data->UserSid, &g_InternetSettingsTail};
    NTSTATUS status = BuildName(&data->InternetSettingsKey, realParts, RTL_NUMBER_OF(realParts));
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("InternetSettingsKey.Buffer allocate error\n");
        return status;
    }
    PCUNICODE_STRING copyParts[] = {&data->RedirectRootKeyNameUser, &g_Separator, &data->UserSid, &g_InternetSettingsTail};
    status = BuildName(&data->RedirectInternetSettingsKey, copyParts, RTL_NUMBER_OF(copyParts));
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("RedirectInternetSettingsKey.Buffer allocate error\n");
    }
    return status;
}

// The private copy's fixed keys: the user's Internet Settings as a non-volatile copy, and
// LongPathsEnabled. Failures are printed and never stop the start.
static VOID PreparePrivateCopy(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    PrintPrefixed("CreateTreeNonVolatile :\n    target = %wZ\n", &data->RedirectInternetSettingsKey);
    NTSTATUS status = CreateTreeNonVolatile(&data->RedirectInternetSettingsKey);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CreateTreeNonVolatile - Failed. status = %x\n    target = %wZ\n", status,
                      &data->RedirectInternetSettingsKey);
    }
    PrintPrefixed("CopyTreeAndSecurity :\n    source = %wZ\n    target = %wZ\n", &data->InternetSettingsKey,
                  &data->RedirectInternetSettingsKey);
    status = CopyTreeAndSecurity(&data->InternetSettingsKey, &data->RedirectInternetSettingsKey);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopyTreeAndSecurity - Failed. status = %x\n    source = %wZ\n    target = %wZ\n", status,
                      &data->InternetSettingsKey, &data->RedirectInternetSettingsKey);
    }
    status = CreateLongPathsEnabled();
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CreateLongPathsEnabled - Failed. status = %x\n", status);
    }
    status = UAPInitialize();
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("UAPInitialize - Failed. status = %x\n", status);
    }
}

NTSTATUS StartRegRedirect(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_START_REG_REDIRECT\n");
    if (data->CallbackCookie.QuadPart != 0) {
        DbgPrint("VexRegFilter - Redirector has already been started.(IOCTL_SANDBOX_START_REG_REDIRECT)\n");
        return STATUS_SUCCESS;
    }
    NTSTATUS status = BuildInternetSettingsNames();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PrintPrefixed("    InternetSettingsKey = '%wZ'\n", &data->InternetSettingsKey);
    PrintPrefixed("    RedirectInternetSettingsKey = '%wZ'\n", &data->RedirectInternetSettingsKey);
    PreparePrivateCopy();

    // A routine registered by an earlier, failed start stays registered and is skipped here.
    (void)RegisterProcessNotify();
    status = RegisterImageLoadNotify();
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - PsSetLoadImageNotifyRoutine - %08x\n", status);
    }

    LARGE_INTEGER cookie;
    cookie.QuadPart = 0;
    status = CmRegisterCallbackEx(RegistryCallback, &data->Altitude, data->DriverObject, data, &cookie, NULL);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - CmRegisterCallback error %08x\n", status);
        return status;
    }
    data->CallbackCookie = cookie;
    DbgPrint("VexRegFilter - CmRegisterCallback Success\n");
    if (IsNameSet(&data->RedirectUserClasses)) {
        (void)CreateEnumPreparedKeyThread(&data->UserClassesEnumThread, &data->RedirectUserClasses);
    }
    if (IsNameSet(&data->RedirectMachineClasses)) {
        (void)CreateEnumPreparedKeyThread(&data->MachineClassesEnumThread, &data->RedirectMachineClasses);
    }
    return STATUS_SUCCESS;
}

// Unregisters the callback after stopping the prepared-key threads. A failure keeps the cookie:
// the callback is still live and the names it reads must stay.
static NTSTATUS UnregisterCallbackForStop(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    DeleteEnumPreparedKeyThreads();
    NTSTATUS status = CmUnRegisterCallback(data->CallbackCookie);
    if (!NT_SUCCESS(status)) {
        DbgPrint("VexRegFilter - CmUnRegisterCallback error %08x\n", status);
        return status;
    }
    DbgPrint("VexRegFilter - CmUnRegisterCallback success\n");
    data->CallbackCookie.QuadPart = 0;
    return status;
}

NTSTATUS StopRegRedirect(VOID)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    NTSTATUS status = STATUS_SUCCESS;
    DbgPrint("VexRegFilter - IOCTL_SANDBOX_STOP_REG_REDIRECT\n");
    if (ReadRegisteredFlag(&data->ProcessNotifyLock, &data->ProcessNotifyRegistered)) {
        status = UnregisterProcessNotify();
    }
    if (ReadRegisteredFlag(&data->ImageNotifyLock, &data->ImageNotifyRegistered)) {
        status = UnregisterImageLoadNotify();
    }
    if (data->CallbackCookie.QuadPart != 0) {
        status = UnregisterCallbackForStop();
    } else {
        DbgPrint("VexRegFilter - already stopped\n");
    }

    // The lists and tables lock themselves and are cleared in every case.
    CTFinalize(&data->CopyKeyHistory);
    CTFinalize(&data->CopySubkeyHistory);
    CTFinalize(&data->DifferenceHistory);
    ResetExcludeKey();
    ResetExcludeValue();
    ClearProcessLists(TRUE);
    (void)CTDeleteAllElements(&data->ProcessCache);
    AHLClear();
    if (data->CallbackCookie.QuadPart == 0) {
        FreeRedirectNames();
    }
    return status;
}
