// Preparing the copy of a key that a sandboxed process creates or opens, and the histories that
// record what was done:
//   CopyKeyHistory    the copy was prepared once; it is never filled from the real key again, so
//                     whatever the sandbox did to it (deleting it too) stands;
//   CopySubkeyHistory every subkey of the real key has a stub in the copy (CopySubkeyValue);
//   DifferenceHistory the copy differs from the real key and answers enumerations and queries.
// No lock is held across the steps: the histories lock per call, and open-if creation makes
// concurrent preparations of one key converge on the same copy.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/name_buffer.h"
#include "names/name_patterns.h"
#include "names/names.h"
#include "tables/global_data.h"
#include "tables/key_lists.h"

// Windows 8, from which the copy of a UserChoice key takes its real key's last-write time.
#define OS_VERSION_WINDOWS_8 0x06020000

// A key that exists only in the copy differs from the real registry, and so does its parent, whose
// list of subkeys changed. Failed inserts are reported by the history and otherwise ignored.
static VOID MarkKeyAndParentDifferent(PCUNICODE_STRING RedirectName, PULONG Hash)
{
    (void)InsertRegistryHistory(&g_VexRegFilterData.DifferenceHistory, RedirectName, NULL, TRUE);
    (void)InsertRegistryHistory(&g_VexRegFilterData.DifferenceHistory, RedirectName, Hash, FALSE);
}

static VOID ReleaseKeyObject(PVOID* KeyObject)
{
    if (*KeyObject != NULL) {
        ObDereferenceObject(*KeyObject);
        *KeyObject = NULL;
    }
}

BOOLEAN IsExistKey(PCUNICODE_STRING Name)
{
    HANDLE key = NULL;
    TraceLine("VexRegFilter - IsExistKey() [KeyName] : %wZ\n", Name);
    const BOOLEAN exists = NT_SUCCESS(OpenRegistryKey(&key, Name, KEY_READ));
    CloseKey(&key);
    TraceLine("VexRegFilter - IsExistKey() [Exist] : %x\n", exists);
    return exists;
}

NTSTATUS GetKeyObject(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PUNICODE_STRING RedirectName,
                      ACCESS_MASK Access, PVOID* KeyObject, PULONG Hash)
{
    HANDLE key = NULL;
    *KeyObject = NULL;
    if (!IsNameSet(RedirectName)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = OpenRegistryKeyEx(Information, FullName, &key, RedirectName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ObReferenceObjectByHandle(key, Access, NULL, KernelMode, KeyObject, NULL);
    if (!NT_SUCCESS(status)) {
        *KeyObject = NULL;
    } else {
        status = ApplySiloCorrection("GetKeyObject", *KeyObject, RedirectName, Hash);
        if (!NT_SUCCESS(status)) {
            ReleaseKeyObject(KeyObject);
        }
    }
    CloseKey(&key);
    return status;
}

// The name of the parent of a full key name (one trailing separator ignored), as a view of Name's
// buffer. FALSE when the parent would not be a full key name.
static BOOLEAN CutLastComponent(PCUNICODE_STRING Name, PUNICODE_STRING Parent)
{
    USHORT end = Name->Length / sizeof(WCHAR);
    if (end > 0 && Name->Buffer[end - 1] == L'\\') {
        end--;
    }
    while (end > 0 && Name->Buffer[end - 1] != L'\\') {
        end--;
    }
    if (end == 0 || (end - 1) * sizeof(WCHAR) < MIN_FULL_KEY_NAME_BYTES) {
        return FALSE;
    }
    Parent->Buffer = Name->Buffer;
    Parent->Length = (USHORT)((end - 1) * sizeof(WCHAR));
    Parent->MaximumLength = Parent->Length;
    return TRUE;
}

// The root of an application hive passes through to the real hive and is never copied, so the
// copy of a key directly below it has no parent copy to be created in: its create makes the
// missing levels above it as well.
static BOOLEAN IsDirectlyBelowAppHiveRoot(PCUNICODE_STRING OriginalName)
{
    UNICODE_STRING parent;
    return CutLastComponent(OriginalName, &parent) && IsAppHiveRootName(&parent);
}

// A create below a parent whose copy is missing answers as the sandbox sees that parent: one the
// sandbox prepared before and then deleted stays deleted, and one that exists nowhere stays
// missing. A real parent the sandbox never touched is prepared now as its first open would prepare
// it (values, subkey stubs, histories, the keys above it), so the create succeeds as it would
// outside the sandbox. The original and redirect names end in the same components, so cutting the
// last one off both names the parent's pair. STATUS_SUCCESS when the parent's copy was prepared
// now, STATUS_OBJECT_NAME_NOT_FOUND when it stays missing, otherwise why it could not be prepared.
static NTSTATUS PrepareMissingParent(PCUNICODE_STRING OriginalName, PCUNICODE_STRING RedirectName)
{
    UNICODE_STRING originalParent, redirectParent;
    ULONG hash = 0;
    if (!CutLastComponent(OriginalName, &originalParent) || !CutLastComponent(RedirectName, &redirectParent) ||
        RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, &redirectParent, NULL, &hash) || !IsExistKey(&originalParent)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    // The preparation owns the redirect name it is given: the container correction may replace it.
    UNICODE_STRING ownedRedirectParent = {};
    NTSTATUS status = DuplicateName(&ownedRedirectParent, &redirectParent);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG disposition = 0;
    PVOID keyObject = NULL;
    status = CreateRedirectKeyFirstTime(NULL, NULL, &originalParent, &ownedRedirectParent, RegNtPreOpenKeyEx, KEY_READ,
                                        &disposition, &hash, &keyObject);
    ReleaseKeyObject(&keyObject);
    FreeOwnedString(&ownedRedirectParent);
    return status;
}

NTSTATUS OpenOrCreateRedirectKey(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName,
                                 PCUNICODE_STRING OriginalName, PUNICODE_STRING RedirectName, REG_NOTIFY_CLASS NotifyClass,
                                 ACCESS_MASK Access, PULONG Disposition, PULONG Hash, PVOID* KeyObject)
{
    NTSTATUS status = GetKeyObject(Information, FullName, RedirectName, Access, KeyObject, Hash);
    if (NT_SUCCESS(status)) {
        *Disposition = REG_OPENED_EXISTING_KEY;
        return status;
    }
    // A prepared copy that no longer exists was deleted in the sandbox: an open fails whatever the
    // real key holds, and a create makes the key alone, below its parent's copy (or below an
    // application hive's root, which has no copy).
    if (NotifyClass == RegNtPreOpenKeyEx) {
        return status;
    }
    status = CreateRedirectTree(Information, FullName, OriginalName, RedirectName, FALSE, Access,
                                IsDirectlyBelowAppHiveRoot(OriginalName), Hash, KeyObject);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        NTSTATUS parent = PrepareMissingParent(OriginalName, RedirectName);
        status = NT_SUCCESS(parent)
                     ? CreateRedirectTree(Information, FullName, OriginalName, RedirectName, FALSE, Access, FALSE, Hash, KeyObject)
                     : parent;
    }
    if (NT_SUCCESS(status)) {
        *Disposition = REG_CREATED_NEW_KEY;
    }
    return status;
}

NTSTATUS CreateRedirectKeyFirstTime(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName,
                                    PCUNICODE_STRING OriginalName, PUNICODE_STRING RedirectName, REG_NOTIFY_CLASS NotifyClass,
                                    ACCESS_MASK Access, PULONG Disposition, PULONG Hash, PVOID* KeyObject)
{
    NTSTATUS status;
    if (IsExistKey(OriginalName)) {
        status = CreateRedirectTree(Information, FullName, OriginalName, RedirectName, TRUE, Access, TRUE, Hash, KeyObject);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        *Disposition = REG_OPENED_EXISTING_KEY;
    } else {
        status = OpenOrCreateRedirectKey(Information, FullName, OriginalName, RedirectName, NotifyClass, Access, Disposition,
                                         Hash, KeyObject);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (*Disposition != REG_CREATED_NEW_KEY) {
            // An existing copy of a key that has no real counterpart.
            MarkKeyAndParentDifferent(RedirectName, Hash);
        }
    }

    // An unrecorded copy would be filled from the real key again at its next use, undoing what
    // the sandbox did to it: a copy that cannot be recorded is not handed out.
    NTSTATUS recorded = InsertRegistryHistory(&g_VexRegFilterData.CopyKeyHistory, RedirectName, Hash, FALSE);
    if (!NT_SUCCESS(recorded)) {
        ReleaseKeyObject(KeyObject);
        *Disposition = 0;
        return recorded;
    }

    if (g_VexRegFilterData.OSVersion >= OS_VERSION_WINDOWS_8 &&
        (IsUserChoiceFileExtKey(OriginalName) || IsUserChoiceUrlKey(OriginalName))) {
        NTSTATUS copied = CopyWriteTimeInfo(OriginalName, RedirectName);
        if (!NT_SUCCESS(copied)) {
            PrintPrefixed("CreateRedirectKeyFirstTime - CopyWriteTimeInfo fail %x\n", copied);
        }
        return STATUS_SUCCESS;
    }
    return status;
}

NTSTATUS PrepareRedirectKey(PREG_CREATE_KEY_INFORMATION_V1 Information, PCUNICODE_STRING FullName, PCUNICODE_STRING OriginalName,
                            PUNICODE_STRING RedirectName, REG_NOTIFY_CLASS NotifyClass, ACCESS_MASK Access, PULONG Disposition,
                            PULONG Hash, PVOID* KeyObject)
{
    NTSTATUS status;
    *Disposition = 0;
    *KeyObject = NULL;

    // The lookup reads the name in place: running out of pool cannot pass a prepared copy off as
    // a new one.
    if (RegistryHistoryExists(&g_VexRegFilterData.CopyKeyHistory, RedirectName, NULL, Hash)) {
        status = OpenOrCreateRedirectKey(Information, FullName, OriginalName, RedirectName, NotifyClass, Access, Disposition, Hash,
                                         KeyObject);
    } else {
        status = CreateRedirectKeyFirstTime(Information, FullName, OriginalName, RedirectName, NotifyClass, Access, Disposition,
                                            Hash, KeyObject);
    }
    if (!NT_SUCCESS(status)) {
        *Disposition = 0;
        return status;
    }
    if (*Disposition == REG_CREATED_NEW_KEY) {
        MarkKeyAndParentDifferent(RedirectName, Hash);
    }
    return status;
}
