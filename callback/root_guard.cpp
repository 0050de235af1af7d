// The redirect roots themselves are keys of the real registry: the copy hangs below them, but
// their names and their places in their parents are outside it. A sandboxed program reaches them
// as the keys they stand for (the machine's Classes key is the machine Classes root), so renaming
// one would move the whole copy to a name outside the redirect roots, and deleting one would take
// a key out of the real registry and leave nothing to redirect to. Both are refused.
#include "callback/callback_private.h"

#include "common/match.h"

// The part of Name after its first SkipBytes bytes, in place.
static UNICODE_STRING TailOf(PCUNICODE_STRING Name, USHORT SkipBytes)
{
    UNICODE_STRING tail;
    tail.Buffer = Name->Buffer + SkipBytes / sizeof(WCHAR);
    tail.Length = (USHORT)(Name->Length - SkipBytes);
    tail.MaximumLength = tail.Length;
    return tail;
}

// The user's Classes root as its own hive names it: the key an open of it reaches, and so the
// name its key object reports, is below \REGISTRY\USER\<SID>_Classes.
static BOOLEAN IsUserClassesRootInItsHive(PCUNICODE_STRING Name)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    if (!IsPrefixName(&data->CuClasses, &data->RedirectUserClasses) || !IsPrefixName(&data->CuSidClasses, Name)) {
        return FALSE;
    }
    UNICODE_STRING rootTail = TailOf(&data->RedirectUserClasses, data->CuClasses.Length);
    UNICODE_STRING nameTail = TailOf(Name, data->CuSidClasses.Length);
    return IsSameName(&rootTail, &nameTail);
}

static BOOLEAN IsRedirectRootObject(PVOID Object)
{
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;
    PCUNICODE_STRING name = NULL;
    if (!NT_SUCCESS(CmCallbackGetKeyObjectID(&data->CallbackCookie, Object, NULL, &name))) {
        return FALSE;
    }
    return IsSameName(name, &data->RedirectRootKeyName) || IsSameName(name, &data->RedirectMachineClasses) ||
           IsSameName(name, &data->RedirectUserClasses) || IsUserClassesRootInItsHive(name);
}

NTSTATUS VexRegNtPreRenameKey(PREG_RENAME_KEY_INFORMATION Information)
{
    return IsRedirectRootObject(Information->Object) ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
}

NTSTATUS VexRegNtPreDeleteKey(PREG_DELETE_KEY_INFORMATION Information)
{
    return IsRedirectRootObject(Information->Object) ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
}
