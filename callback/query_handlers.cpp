// Queries and enumeration on keys handed out through the redirect. A copy is filled lazily and
// may hold only stubs of its subkeys, so until the sandbox changes it, enumeration and the key
// queries that count subkeys and values are answered from the real key. Values kept from the
// sandbox do not exist for it, and certificate stores show the real key's security.
#include "callback/callback_private.h"

#include "common/name_buffer.h"
#include "cow/cow.h"
#include "log/log.h"
#include "names/names.h"
#include "names/url_allowlist.h"
#include "tables/key_lists.h"

#define ENUM_KEY L"REG = ENUM_KEY"
#define QUERY_KEY L"REG = QUERY_KEY"
#define QUERY_SEC L"REG = QUERY_SEC"
#define QUERY_VALUE L"REG = QUERY_VALUE"

static VOID PrintContextNames(PCSTR Handler, PCALLBACK_CONTEXT Context)
{
    if (IsDetailEnabled()) {
        PrintPrefixed("%s - Original   : %wZ\n", Handler, &Context->OriginalName);
        PrintPrefixed("%s - Redirected : %wZ\n", Handler, &Context->RedirectName);
    }
}

// Does the copy answer for itself? Once it differs from the real key; then it must list every
// subkey of the real key too, which its stubs are made for once. A real key on the exclusion list
// does not exist for the sandbox: its copy answers, and nothing of the real key shows.
static BOOLEAN IsAnsweredByCopy(PCALLBACK_CONTEXT Context)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    if (!RegistryHistoryExists(&data->DifferenceHistory, &Context->RedirectName, &Context->RedirectNameHash, NULL)) {
        return IsThereExcludeKey(&Context->OriginalName);
    }
    if (!RegistryHistoryExists(&data->CopySubkeyHistory, &Context->RedirectName, &Context->RedirectNameHash, NULL) &&
        NT_SUCCESS(CopySubkey(&Context->OriginalName, &Context->RedirectName))) {
        (VOID)InsertRegistryHistory(&data->CopySubkeyHistory, &Context->RedirectName, &Context->RedirectNameHash, FALSE);
    }
    return TRUE;
}

// The result of an answer from the real key: the operation is complete, or fails as it would on
// the real key.
static NTSTATUS BypassedOrFailed(PCWSTR Operation, PCALLBACK_CONTEXT Context, NTSTATUS Status)
{
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    LogOperation(Operation, FUNC_BYPASS, STATUS_SUCCESS, &Context->OriginalName);
    return STATUS_CALLBACK_BYPASS;
}

static NTSTATUS PassedToCopy(PCWSTR Operation, PCALLBACK_CONTEXT Context)
{
    LogOperation(Operation, FUNC_PASS_THRU, STATUS_SUCCESS, &Context->RedirectName);
    return STATUS_SUCCESS;
}

NTSTATUS VexRegNtEnumerateKey(PREG_ENUMERATE_KEY_INFORMATION Information)
{
    PCALLBACK_CONTEXT context = CallbackContextOf(Information->ObjectContext);
    if (context == NULL) {
        return STATUS_SUCCESS;
    }
    PrintContextNames("VexRegNtEnumerateKey", context);
    if (IsAnsweredByCopy(context)) {
        return PassedToCopy(ENUM_KEY, context);
    }
    return BypassedOrFailed(ENUM_KEY, context, EnumerateKey(&context->OriginalName, Information));
}

// Only the classes that count subkeys and values tell a copy of stubs from the real key; the
// others (basic, node, name, flags, ...) are answered by the copy.
NTSTATUS VexRegNtPreQueryKey(PREG_QUERY_KEY_INFORMATION Information)
{
    PCALLBACK_CONTEXT context = CallbackContextOf(Information->ObjectContext);
    if (context == NULL) {
        return STATUS_SUCCESS;
    }
    PrintContextNames("VexRegNtPreQueryKey", context);
    if (IsAnsweredByCopy(context) ||
        (Information->KeyInformationClass != KeyFullInformation && Information->KeyInformationClass != KeyCachedInformation)) {
        return PassedToCopy(QUERY_KEY, context);
    }
    return BypassedOrFailed(QUERY_KEY, context, QueryKey(&context->OriginalName, Information));
}

// A certificate store shows the real key's security descriptor; when the real key does not
// exist, the copy answers.
NTSTATUS VexRegNtPreQueryKeySecurity(PREG_QUERY_KEY_SECURITY_INFORMATION Information)
{
    PCALLBACK_CONTEXT context = CallbackContextOf(Information->ObjectContext);
    if (context == NULL) {
        return STATUS_SUCCESS;
    }
    PrintContextNames("PreQueryKeySecurity", context);
    if (!IsCertificateStoreKey(&context->OriginalName)) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = QuerySecurity(&context->OriginalName, Information);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return PassedToCopy(QUERY_SEC, context);
    }
    return BypassedOrFailed(QUERY_SEC, context, status);
}

// The record of a hidden value names the value after its key's copy.
static VOID LogHiddenValue(PCALLBACK_CONTEXT Context, PCUNICODE_STRING ValueName)
{
    static const WCHAR separator = L'\\';
    if (!IsLogLevelEnabled(LOG_LEVEL_INFO) || KeGetCurrentIrql() != PASSIVE_LEVEL) {
        return;
    }
    PCUNICODE_STRING key = &Context->RedirectName;
    const BOOLEAN endsWithSeparator = key->Length >= sizeof(WCHAR) && key->Buffer[key->Length / sizeof(WCHAR) - 1] == L'\\';
    UNICODE_STRING path = {};
    if (!NT_SUCCESS(AllocateName(&path, (ULONG)key->Length + sizeof(WCHAR) + ValueName->Length))) {
        return;
    }
    AppendName(&path, key);
    if (!endsWithSeparator) {
        AppendNameBytes(&path, &separator, sizeof(WCHAR));
    }
    AppendName(&path, ValueName);
    LogOperation(QUERY_VALUE, FUNC_EXCLUDED, STATUS_OBJECT_NAME_NOT_FOUND, &path);
    FreeOwnedString(&path);
}

NTSTATUS VexRegNtPreQueryValueKey(PREG_QUERY_VALUE_KEY_INFORMATION Information)
{
    PCALLBACK_CONTEXT context = CallbackContextOf(Information->ObjectContext);
    if (context == NULL) {
        return STATUS_SUCCESS;
    }
    PrintContextNames("VexRegNtPreQueryValueKey", context);
    if (IsDetailEnabled()) {
        PrintPrefixed("VexRegNtPreQueryValueKey - ValueName  : %wZ\n", Information->ValueName);
    }
    if (IsThereExcludeValue(&context->OriginalName, Information->ValueName) ||
        IsUrlAllowlistKey(&context->OriginalName, Information->ValueName)) {
        LogHiddenValue(context, Information->ValueName);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return STATUS_SUCCESS;
}
