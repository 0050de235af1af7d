// The URL-allowlist policy keys: names built from the configured user's SID.
#include "names/url_allowlist.h"

#include "common/debug_print.h"
#include "common/match.h"
#include "common/name_buffer.h"
#include "tables/global_data.h"

UAP_GLOBALS UAPGlobals;

static const UNICODE_STRING g_MachinePrefix = CONSTANT_NAME(L"\\Registry\\Machine");
static const UNICODE_STRING g_UserPrefix = CONSTANT_NAME(L"\\Registry\\User\\");
static const UNICODE_STRING g_EdgePolicy = CONSTANT_NAME(L"\\Software\\Policies\\Microsoft\\Edge\\URLAllowlist");
static const UNICODE_STRING g_ChromePolicy = CONSTANT_NAME(L"\\Software\\Policies\\Google\\Chrome\\URLAllowlist");

// In the order they are built, each with the line printed after it and the line printed when its
// buffer cannot be allocated.
static const struct {
    PUNICODE_STRING Name;
    BOOLEAN PerUser;
    PCUNICODE_STRING Policy;
    PCSTR BuiltLine;
    PCSTR FailureLine;
} g_Keys[] = {
    {&UAPGlobals.HklmEdgeKey, FALSE, &g_EdgePolicy, "UAPGlobals.HklmEdgeKey = '%wZ'\n",
     "UAPGlobals.HklmEdgeKey.Buffer allocate error\n"},
    {&UAPGlobals.HklmChromeKey, FALSE, &g_ChromePolicy, "UAPGlobals.HklmChromeKey = '%wZ'\n",
     "UAPGlobals.HklmChromeKey.Buffer allocate error\n"},
    {&UAPGlobals.HkcuEdgeKey, TRUE, &g_EdgePolicy, "UAPGlobals.HkcuEdgeKey = '%wZ'\n", "HkcuEdgeKey.Buffer allocate error\n"},
    {&UAPGlobals.HkcuChromeKey, TRUE, &g_ChromePolicy, "UAPGlobals.HkcuChromeKey = '%wZ'\n",
     "HkcuChromeKey.Buffer allocate error\n"},
};

NTSTATUS UAPInitialize(VOID)
{
    PCUNICODE_STRING sid = &g_VexRegFilterData.UserSid;

    UAPFinalize();
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_Keys); i++) {
        PCUNICODE_STRING prefix = g_Keys[i].PerUser ? &g_UserPrefix : &g_MachinePrefix;
        ULONG bytes = (ULONG)prefix->Length + (g_Keys[i].PerUser ? sid->Length : 0) + g_Keys[i].Policy->Length;
        NTSTATUS status = AllocateName(g_Keys[i].Name, bytes);
        if (!NT_SUCCESS(status)) {
            PrintPrefixed(g_Keys[i].FailureLine);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        AppendName(g_Keys[i].Name, prefix);
        if (g_Keys[i].PerUser) {
            AppendName(g_Keys[i].Name, sid);
        }
        AppendName(g_Keys[i].Name, g_Keys[i].Policy);
        PrintPrefixed(g_Keys[i].BuiltLine, g_Keys[i].Name);
    }
    return STATUS_SUCCESS;
}

VOID UAPFinalize(VOID)
{
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_Keys); i++) {
        FreeOwnedString(g_Keys[i].Name);
    }
}

static BOOLEAN IsVisibleValueName(PCUNICODE_STRING ValueName)
{
    static const UNICODE_STRING one = CONSTANT_NAME(L"1");
    static const UNICODE_STRING two = CONSTANT_NAME(L"2");
    return IsSameName(ValueName, &one) || IsSameName(ValueName, &two);
}

// A key opened with an empty relative name has a full name that ends in a separator: one trailing
// separator is not part of the comparison.
BOOLEAN IsUrlAllowlistKey(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName)
{
    if (!IsNameSet(KeyName)) {
        return FALSE;
    }
    UNICODE_STRING key = *KeyName;
    if (key.Length >= sizeof(WCHAR) && key.Buffer[key.Length / sizeof(WCHAR) - 1] == L'\\') {
        key.Length -= sizeof(WCHAR);
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_Keys); i++) {
        if (IsNameSet(g_Keys[i].Name) && IsSameName(&key, g_Keys[i].Name)) {
            return ValueName == NULL || !IsVisibleValueName(ValueName);
        }
    }
    return FALSE;
}
