// Copying a whole tree of keys with their security descriptors and values, for the parts of the
// copy that redirection prepares before anything runs in the sandbox.
//
// The registry allows 512 levels, far more than a kernel stack holds frames of a recursive copy
// after the registry callback's callers used their share, so the tree is walked with an explicit
// stack of levels in pool memory. Each level holds the open source key and its copy; a subkey is
// opened relative to its parent's handle and its copy created relative to the parent's copy, so the
// depth of a name never limits an open. A subkey that is a symbolic link is opened as the link
// itself and left out: following it could copy a tree from anywhere in the registry, or loop.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "tables/global_data.h"
#include "tables/key_lists.h"

// Levels below \REGISTRY the registry allows: no source tree is deeper.
#define REG_MAX_TREE_DEPTH 512

typedef struct _TREE_LEVEL {
    HANDLE Source;                // the source key, open for KEY_READ
    HANDLE Target;                // its copy, open with full access
    KEY_FULL_INFORMATION Counts;  // the source's counts and maxima
    ULONG NextIndex;              // the next subkey to copy
    USHORT SourceBytes;           // the length of the source's full name
    USHORT TargetBytes;           // the length of the copy's full name
} TREE_LEVEL, *PTREE_LEVEL;

typedef struct _TREE_WALK {
    PTREE_LEVEL Levels;           // REG_MAX_TREE_DEPTH levels; the first is the root
    UNICODE_STRING SourceName;    // the full name of the deepest open source key
    UNICODE_STRING TargetName;    // the full name of its copy
    PKEY_BASIC_INFORMATION Entry; // one subkey entry, long enough for any key name
} TREE_WALK, *PTREE_WALK;

#define TREE_ENTRY_BYTES (FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) + REG_MAX_KEY_NAME_BYTES)

static BOOLEAN IsLinkKey(HANDLE Key)
{
    KEY_FLAGS_INFORMATION flags = {};
    ULONG length = 0;
    return NT_SUCCESS(ZwQueryKey(Key, KeyFlagsInformation, &flags, sizeof(flags), &length)) &&
           (flags.KeyFlags & REG_FLAG_LINK) != 0;
}

static VOID CloseLevel(PTREE_LEVEL Level)
{
    CloseKey(&Level->Target);
    CloseKey(&Level->Source);
}

// Opens a source key and makes its copy with the source's security: relative to the parent level's
// keys when there is one, else by full name. Returns STATUS_SUCCESS with both keys open and the
// counts known; any other status means the key is done with and nothing of it is open. A key that
// is hidden, cannot be opened or copied, or is a link ends with STATUS_SUCCESS.
static NTSTATUS EnterLevel(PTREE_LEVEL Level, PTREE_LEVEL Parent, PCUNICODE_STRING RelativeName, PCUNICODE_STRING SourceName,
                           PCUNICODE_STRING TargetName, PBOOLEAN Entered)
{
    NTSTATUS status;
    *Entered = FALSE;
    RtlZeroMemory(Level, sizeof(*Level));
    if (IsThereExcludeKey(SourceName)) {
        return STATUS_SUCCESS;
    }

    if (Parent == NULL) {
        status = OpenRegistryKey(&Level->Source, SourceName, KEY_READ);
    } else {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, (PUNICODE_STRING)RelativeName, COW_KEY_ATTRIBUTES | OBJ_OPENLINK, Parent->Source, NULL);
        status = ZwOpenKey(&Level->Source, KEY_READ, &attributes);
        if (!NT_SUCCESS(status)) {
            Level->Source = NULL;
        }
    }
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopyTreeAndSecurity - Failed to ZwQueryKey. status = %x key = %wZ\n", 0, SourceName);
        return STATUS_SUCCESS;
    }
    if (Parent != NULL && IsLinkKey(Level->Source)) {
        DetailLinePrefixed("CopyTreeAndSecurity - symbolic link not copied. key = %wZ\n", SourceName);
        CloseLevel(Level);
        return STATUS_SUCCESS;
    }

    if (Parent == NULL) {
        status = CreateRegistryKey(&Level->Target, TargetName);
    } else {
        status = CreateKeyAt(&Level->Target, Parent->Target, RelativeName, GetRedirectCreateOptions(TargetName));
    }
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("CopyTreeAndSecurity - Failed to ZwCreateKey. status = %x key = %wZ\n", 0, TargetName);
        CloseLevel(Level);
        return STATUS_SUCCESS;
    }

    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (NT_SUCCESS(QueryKeySecurity(Level->Source, SourceName, &descriptor))) {
        (void)ApplyKeySecurity(Level->Target, TargetName, descriptor);
        ExFreePoolWithTag(descriptor, VEXR_TAG);
    }

    status = QueryKeyCounts("CopyTreeAndSecurity", Level->Source, FALSE, &Level->Counts);
    if (!NT_SUCCESS(status)) {
        CloseLevel(Level);
        return status;
    }
    Level->SourceBytes = SourceName->Length;
    Level->TargetBytes = TargetName->Length;
    *Entered = TRUE;
    return STATUS_SUCCESS;
}

static VOID FreeTreeWalk(PTREE_WALK Walk)
{
    if (Walk->Entry != NULL) {
        ExFreePoolWithTag(Walk->Entry, VEXR_TAG);
    }
    if (Walk->Levels != NULL) {
        ExFreePoolWithTag(Walk->Levels, VEXR_TAG);
    }
    FreeOwnedString(&Walk->TargetName);
    FreeOwnedString(&Walk->SourceName);
}

// The names grow to the longest a counted string holds: no registry key has a longer full name.
static NTSTATUS AllocateTreeWalk(PTREE_WALK Walk, PCUNICODE_STRING SourceName, PCUNICODE_STRING TargetName)
{
    RtlZeroMemory(Walk, sizeof(*Walk));
    if (!NT_SUCCESS(CopyName(&Walk->SourceName, SourceName, MAX_COUNTED_BYTES))) {
        PrintPrefixed("CopyTreeAndSecurity - SourceSubName allocate error\n");
    } else if (!NT_SUCCESS(CopyName(&Walk->TargetName, TargetName, MAX_COUNTED_BYTES))) {
        PrintPrefixed("CopyTreeAndSecurity - TargetSubName allocate error\n");
    } else if ((Walk->Entry = (PKEY_BASIC_INFORMATION)ExAllocatePoolZero(g_NonPagedPoolType, TREE_ENTRY_BYTES, VEXR_TAG)) == NULL) {
        PrintPrefixed("CopyTreeAndSecurity - KeyBasicInfo allocate error\n");
    } else if ((Walk->Levels = (PTREE_LEVEL)ExAllocatePoolZero(g_NonPagedPoolType, REG_MAX_TREE_DEPTH * sizeof(TREE_LEVEL),
                                                                VEXR_TAG)) == NULL) {
        PrintPrefixed("CopyTreeAndSecurity - level stack allocate error\n");
    } else {
        return STATUS_SUCCESS;
    }
    FreeTreeWalk(Walk);
    return STATUS_INSUFFICIENT_RESOURCES;
}

// Appends "\" and the subkey's name to a full name; false when it would not fit.
static BOOLEAN AppendLevel(PUNICODE_STRING Name, USHORT ParentBytes, PCUNICODE_STRING Subkey)
{
    static const WCHAR separator = L'\\';
    Name->Length = ParentBytes;
    if ((ULONG)ParentBytes + sizeof(WCHAR) + Subkey->Length > Name->MaximumLength) {
        return FALSE;
    }
    AppendNameBytes(Name, &separator, sizeof(WCHAR));
    AppendName(Name, Subkey);
    return TRUE;
}

// Copies the values of the level's key and closes it; the result is the key's own result.
static NTSTATUS LeaveLevel(PTREE_LEVEL Level, PTREE_WALK Walk)
{
    Walk->SourceName.Length = Level->SourceBytes;
    Walk->TargetName.Length = Level->TargetBytes;
    NTSTATUS status = CopyKeyValues("CopyTreeAndSecurity", Level->Source, Level->Target, &Walk->SourceName,
                                    &Walk->TargetName, NULL, &Level->Counts);
    CloseLevel(Level);
    return status;
}

// Enters the next subkey of Level into the level below it; false when Level has none left.
static BOOLEAN EnterNextSubkey(PTREE_WALK Walk, ULONG Depth)
{
    PTREE_LEVEL level = &Walk->Levels[Depth];
    while (level->NextIndex < level->Counts.SubKeys) {
        ULONG index = level->NextIndex++;
        ULONG length = 0;
        NTSTATUS status = ZwEnumerateKey(level->Source, index, KeyBasicInformation, Walk->Entry, TREE_ENTRY_BYTES, &length);
        if (!NT_SUCCESS(status)) {
            DetailLinePrefixed("CopyTreeAndSecurity - Failed to ZwEnumerateKey. index = %d status = %x\n", index, status);
            level->NextIndex = level->Counts.SubKeys;
            return FALSE;
        }
        UNICODE_STRING subkey;
        subkey.Buffer = Walk->Entry->Name;
        subkey.Length = (USHORT)Walk->Entry->NameLength;
        subkey.MaximumLength = subkey.Length;
        if (Depth + 1 == REG_MAX_TREE_DEPTH || !AppendLevel(&Walk->SourceName, level->SourceBytes, &subkey) ||
            !AppendLevel(&Walk->TargetName, level->TargetBytes, &subkey)) {
            Walk->SourceName.Length = level->SourceBytes;
            PrintPrefixed("CopyTreeAndSecurity - too deep to copy. key = %wZ\\%wZ\n", &Walk->SourceName, &subkey);
            continue;
        }
        BOOLEAN entered;
        (void)EnterLevel(&Walk->Levels[Depth + 1], level, &subkey, &Walk->SourceName, &Walk->TargetName, &entered);
        if (entered) {
            return TRUE;
        }
    }
    return FALSE;
}

// Copies every subtree below the root level, deepest first, leaving each key as its last subkey is
// done; the root stays open.
static VOID CopySubtrees(PTREE_WALK Walk)
{
    ULONG depth = 0;
    for (;;) {
        if (EnterNextSubkey(Walk, depth)) {
            depth++;
        } else if (depth == 0) {
            return;
        } else {
            (void)LeaveLevel(&Walk->Levels[depth], Walk);
            depth--;
        }
    }
}

NTSTATUS CopyTreeAndSecurity(PCUNICODE_STRING SourceName, PCUNICODE_STRING TargetName)
{
    TREE_LEVEL root;
    BOOLEAN entered;

    if (!IsNameSet(SourceName) || !IsNameSet(TargetName)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = EnterLevel(&root, NULL, NULL, SourceName, TargetName, &entered);
    if (!entered) {
        return status;
    }
    if (root.Counts.SubKeys == 0) {
        TREE_WALK names = {};
        names.SourceName = *SourceName;
        names.TargetName = *TargetName;
        return LeaveLevel(&root, &names);
    }
    TREE_WALK walk;
    status = AllocateTreeWalk(&walk, SourceName, TargetName);
    if (!NT_SUCCESS(status)) {
        CloseLevel(&root);
        return status;
    }
    walk.Levels[0] = root;
    CopySubtrees(&walk);
    status = LeaveLevel(&walk.Levels[0], &walk);
    FreeTreeWalk(&walk);
    return status;
}
