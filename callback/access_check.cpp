// The sandbox keeps the real registry's access rules: before a key's copy is opened or created
// for a caller, the caller must be able to open the real key with the access it asks for.
#include "callback/callback_private.h"

#include "common/match.h"
#include "common/name_buffer.h"
#include "cow/cow.h"
#include "names/name_patterns.h"
#include "tables/builtin_lists.h"

static GENERIC_MAPPING g_KeyGenericMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};

ACCESS_MASK MapKeyAccess(ACCESS_MASK DesiredAccess)
{
    ACCESS_MASK access = DesiredAccess & ~(MAXIMUM_ALLOWED | KEY_WOW64_RES);
    RtlMapGenericMask(&access, &g_KeyGenericMapping);
    return access;
}

// The access granted when the real key cannot be opened for another reason than a denial
// (typically because it does not exist): everything for MAXIMUM_ALLOWED, else what was asked.
static ACCESS_MASK AccessWithoutRealKey(ACCESS_MASK DesiredAccess)
{
    return (DesiredAccess & MAXIMUM_ALLOWED) != 0 ? KEY_ALL_ACCESS : MapKeyAccess(DesiredAccess);
}

// Opens Name (relative to Root, or absolute without one) as the caller would: the key itself with
// DesiredAccess and the caller's check, the levels above it that one open cannot walk by the
// driver's own right. The registry checks access on the key opened alone, so a deep key is
// checked like any other.
static NTSTATUS OpenAsCaller(HANDLE Root, PCUNICODE_STRING Name, ACCESS_MASK DesiredAccess, ULONG AttributeFlags, PHANDLE Key)
{
    UNICODE_STRING rest = *Name;
    UNICODE_STRING chunk;
    OBJECT_ATTRIBUTES attributes;
    HANDLE level = NULL;
    NTSTATUS status;

    NextKeyPathChunk(&rest, Root == NULL, &chunk);
    while (rest.Length != 0) {
        HANDLE next = NULL;
        InitializeObjectAttributes(&attributes, &chunk, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, level != NULL ? level : Root,
                                   NULL);
        status = ZwOpenKey(&next, KEY_READ, &attributes);
        if (level != NULL) {
            ZwClose(level);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        level = next;
        NextKeyPathChunk(&rest, FALSE, &chunk);
    }
    InitializeObjectAttributes(&attributes, &chunk, AttributeFlags, level != NULL ? level : Root, NULL);
    status = ZwOpenKey(Key, DesiredAccess, &attributes);
    if (level != NULL) {
        ZwClose(level);
    }
    return status;
}

// Only names below \REGISTRY\A can lie in an application hive: the pattern is matched for those
// alone.
static BOOLEAN IsAppHiveSubkeyName(PCUNICODE_STRING Name)
{
    static const UNICODE_STRING appHives = CONSTANT_NAME(L"\\REGISTRY\\A\\");
    return IsPrefixName(&appHives, Name) && IsMatchName(Name, &g_HLPatterns.AppHiveSubkeyPattern);
}

// A key inside an application hive is opened relative to the hive's root key, which only the
// process that opened the hive can reach. On failure *Root stays none.
static NTSTATUS OpenAppHiveRoot(PCUNICODE_STRING OriginalName, PHANDLE Root, PUNICODE_STRING RelativeName)
{
    PVOID rootObject = NULL;
    NTSTATUS status = AHLLookup(PsGetCurrentProcessId(), OriginalName, &rootObject, RelativeName);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("RegAccessCheck - Failed to AHLLookup. status = %08x key = %wZ\n", status, OriginalName);
        return status;
    }
    status = ObOpenObjectByPointer(rootObject, OBJ_KERNEL_HANDLE, NULL, KEY_READ, NULL, KernelMode, Root);
    ObDereferenceObject(rootObject);
    if (!NT_SUCCESS(status)) {
        *Root = NULL;
        PrintPrefixed("RegAccessCheck - Failed to ObOpenObjectByPointer. status = %08x key = %wZ\n", status, OriginalName);
    }
    return status;
}

BOOLEAN RegAccessCheck(PCUNICODE_STRING OriginalName, KPROCESSOR_MODE CheckAccessMode, ACCESS_MASK DesiredAccess,
                       PACCESS_MASK GrantedAccess, PNTSTATUS Status)
{
    HANDLE root = NULL;
    HANDLE key = NULL;
    UNICODE_STRING name = *OriginalName;
    ULONG attributeFlags = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

    *GrantedAccess = 0;
    *Status = STATUS_SUCCESS;
    if (CheckAccessMode == UserMode) {
        attributeFlags |= OBJ_FORCE_ACCESS_CHECK;
    }
    if (IsAppHiveSubkeyName(OriginalName) && !NT_SUCCESS(OpenAppHiveRoot(OriginalName, &root, &name))) {
        return TRUE;
    }
    NTSTATUS status = OpenAsCaller(root, &name, DesiredAccess, attributeFlags, &key);
    if (status == STATUS_ACCESS_DENIED) {
        *Status = status;
    } else if (!NT_SUCCESS(status)) {
        *GrantedAccess = AccessWithoutRealKey(DesiredAccess);
    } else if ((DesiredAccess & MAXIMUM_ALLOWED) == 0) {
        *GrantedAccess = MapKeyAccess(DesiredAccess);
    } else {
        PVOID object = NULL;
        OBJECT_HANDLE_INFORMATION handleInformation;
        status = ObReferenceObjectByHandle(key, 0, NULL, KernelMode, &object, &handleInformation);
        if (NT_SUCCESS(status)) {
            *GrantedAccess = handleInformation.GrantedAccess;
            ObDereferenceObject(object);
        } else {
            PrintPrefixed("RegAccessCheck - Failed to ObReferenceObjectByHandle. status = %08x key = %wZ\n", status,
                          OriginalName);
            *GrantedAccess = KEY_ALL_ACCESS;
        }
    }
    if (key != NULL) {
        ZwClose(key);
    }
    if (root != NULL) {
        ZwClose(root);
    }
    return TRUE;
}
