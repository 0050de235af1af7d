// Expansion of 8.3 short path components to their long names by directory queries, with the
// results remembered in ProcessCache (path with a tilde -> long path) until it is emptied.
#include "process/name_utils.h"

#include "common/match.h"
#include "common/pool_tags.h"
#include "tables/global_data.h"

// The longest file name a directory entry is queried for, in bytes, and the buffer that holds
// such an entry: fixed sizes, so no name needs a second attempt.
#define DIRECTORY_ENTRY_NAME_BYTES 32766
#define DIRECTORY_QUERY_BUFFER_BYTES \
    (DIRECTORY_ENTRY_NAME_BYTES + FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName) + sizeof(WCHAR))

// A copy of Text in a zero-filled buffer with room for a NUL after it. Callers read the copy as a
// NUL-terminated string, so a text that leaves no room for the NUL within a counted string's
// capacity is refused rather than handed out unterminated.
static NTSTATUS CopyString(PUNICODE_STRING Copy, PCUNICODE_STRING Text)
{
    ULONG bytes = (ULONG)Text->Length + sizeof(WCHAR);
    Copy->Buffer = NULL;
    Copy->Length = 0;
    Copy->MaximumLength = 0;
    if (bytes > MAX_COUNTED_BYTES) {
        return STATUS_NAME_TOO_LONG;
    }
    Copy->Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, bytes, VEXR_TAG);
    if (Copy->Buffer == NULL) {
        DbgPrint("Memory allocation error\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(Copy->Buffer, Text->Buffer, Text->Length);
    Copy->Length = Text->Length;
    Copy->MaximumLength = (USHORT)bytes;
    return STATUS_SUCCESS;
}

// Appends when the text and a NUL after it still fit, and writes the NUL.
static BOOLEAN AppendWithin(PUNICODE_STRING Destination, PCWSTR Text, ULONG Bytes)
{
    if ((ULONG)Destination->Length + Bytes + sizeof(WCHAR) > Destination->MaximumLength) {
        return FALSE;
    }
    RtlCopyMemory((PUCHAR)Destination->Buffer + Destination->Length, Text, Bytes);
    Destination->Length = (USHORT)(Destination->Length + Bytes);
    Destination->Buffer[Destination->Length / sizeof(WCHAR)] = UNICODE_NULL;
    return TRUE;
}

static BOOLEAN IsSameText(PCWSTR A, ULONG ABytes, PCUNICODE_STRING B)
{
    UNICODE_STRING a;
    a.Buffer = (PWSTR)A;
    a.Length = (USHORT)ABytes;
    a.MaximumLength = (USHORT)ABytes;
    return IsSameName(&a, B);
}

static NTSTATUS OpenDirectory(PUNICODE_STRING Name, PHANDLE Directory)
{
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    InitializeObjectAttributes(&attributes, Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    NTSTATUS status = ZwOpenFile(Directory, FILE_LIST_DIRECTORY | SYNCHRONIZE, &attributes, &io,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
    if (!NT_SUCCESS(status)) {
        status = ZwOpenFile(Directory, FILE_LIST_DIRECTORY, &attributes, &io, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            FILE_SYNCHRONOUS_IO_NONALERT);
    }
    if (!NT_SUCCESS(status)) {
        *Directory = NULL;
    }
    return status;
}

// Finds Name among the directory's entries by short or long name; on a match, Entry holds the
// entry. Entries come one per call, filtered by Name as the pattern.
static BOOLEAN FindEntry(HANDLE Directory, PUNICODE_STRING Name, PFILE_BOTH_DIR_INFORMATION Entry)
{
    IO_STATUS_BLOCK io;
    for (;;) {
        NTSTATUS status = ZwQueryDirectoryFile(Directory, NULL, NULL, NULL, &io, Entry, DIRECTORY_QUERY_BUFFER_BYTES,
                                               FileBothDirectoryInformation, TRUE, Name, FALSE);
        if (!NT_SUCCESS(status)) {
            return FALSE;
        }
        // A name that is already 8.3 has no short name, which an empty component (a doubled or
        // trailing backslash) would otherwise match.
        ULONG shortBytes = (UCHAR)Entry->ShortNameLength;
        if ((shortBytes != 0 && IsSameText(Entry->ShortName, shortBytes, Name)) ||
            IsSameText(Entry->FileName, Entry->FileNameLength, Name)) {
            return TRUE;
        }
    }
}

// Expands Path, whose kind (DOS path or device path) is known, into LongPath, which has its
// full buffer and no text.
static NTSTATUS ExpandComponents(PCUNICODE_STRING Path, BOOLEAN Dos, PUNICODE_STRING LongPath)
{
    static const WCHAR dosPrefix[] = L"\\??\\";
    PFILE_BOTH_DIR_INFORMATION entry = NULL;
    UNICODE_STRING directoryName = {0, 0, NULL};
    NTSTATUS status = STATUS_SUCCESS;
    USHORT count = Path->Length / sizeof(WCHAR);
    USHORT prefixBytes = Dos ? (USHORT)(sizeof(dosPrefix) - sizeof(WCHAR)) : 0;

    entry = (PFILE_BOTH_DIR_INFORMATION)ExAllocatePoolZero(g_NonPagedPoolType, DIRECTORY_QUERY_BUFFER_BYTES, VEXR_TAG);
    directoryName.Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, MAX_COUNTED_BYTES, VEXR_TAG);
    if (entry == NULL || directoryName.Buffer == NULL) {
        DbgPrint("Memory allocation error\n");
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }
    directoryName.MaximumLength = MAX_COUNTED_BYTES;

    // Each backslash splits the path into a directory (up to and including it) and the name after
    // it, up to the next backslash or the end; the pairs are taken leftmost first.
    for (USHORT slash = 0; slash < count; slash++) {
        if (Path->Buffer[slash] != L'\\') {
            continue;
        }
        USHORT end = slash + 1;
        while (end < count && Path->Buffer[end] != L'\\') {
            end++;
        }
        ULONG directoryBytes = (ULONG)(slash + 1) * sizeof(WCHAR);
        UNICODE_STRING name;
        name.Buffer = Path->Buffer + slash + 1;
        name.Length = (USHORT)((end - slash - 1) * sizeof(WCHAR));
        name.MaximumLength = name.Length;

        PCWSTR longName = name.Buffer;
        ULONG longNameBytes = name.Length;
        HANDLE directory = NULL;
        if ((ULONG)prefixBytes + directoryBytes <= directoryName.MaximumLength) {
            RtlCopyMemory(directoryName.Buffer, dosPrefix, prefixBytes);
            RtlCopyMemory((PUCHAR)directoryName.Buffer + prefixBytes, Path->Buffer, directoryBytes);
            directoryName.Length = (USHORT)(prefixBytes + directoryBytes);
            if (NT_SUCCESS(OpenDirectory(&directoryName, &directory))) {
                if (FindEntry(directory, &name, entry)) {
                    longName = entry->FileName;
                    longNameBytes = entry->FileNameLength;
                }
                ZwClose(directory);
            }
        }
        // The first component brings the path's beginning with it (drive and colon, or the
        // device prefix); later ones are joined by a backslash.
        BOOLEAN fits = LongPath->Length == 0 ? AppendWithin(LongPath, Path->Buffer, directoryBytes)
                                             : AppendWithin(LongPath, L"\\", sizeof(WCHAR));
        if (!fits || !AppendWithin(LongPath, longName, longNameBytes)) {
            // The long form does not fit a counted string. The path stays as it was given rather
            // than fail: callers decide sandbox membership on it.
            LongPath->Length = 0;
            if (!AppendWithin(LongPath, Path->Buffer, Path->Length)) {
                status = STATUS_NAME_TOO_LONG;
            }
            goto Cleanup;
        }
    }

Cleanup:
    if (directoryName.Buffer != NULL) {
        ExFreePoolWithTag(directoryName.Buffer, VEXR_TAG);
    }
    if (entry != NULL) {
        ExFreePoolWithTag(entry, VEXR_TAG);
    }
    return status;
}

NTSTATUS KernelGetLongPathName(PCUNICODE_STRING Path, PUNICODE_STRING LongPath)
{
    static const UNICODE_STRING devicePrefix = CONSTANT_NAME(L"\\Device\\");
    NTSTATUS status;

    LongPath->Buffer = NULL;
    LongPath->Length = 0;
    LongPath->MaximumLength = 0;
    if (Path == NULL || Path->Buffer == NULL || Path->Length == 0 || Path->MaximumLength == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    // Short names always hold a tilde, so paths without one are never queried.
    if (!ContainsTilde(Path)) {
        return CopyString(LongPath, Path);
    }
    // Every element of the cache has its long path as its value.
    status = CTLookupElement(&g_VexRegFilterData.ProcessCache, Path, LongPath, NULL, NULL, FALSE);
    if (NT_SUCCESS(status)) {
        return STATUS_SUCCESS;
    }
    BOOLEAN dos = IsDosPath(Path);
    if (!dos && !IsPrefixName(&devicePrefix, Path)) {
        return CopyString(LongPath, Path);
    }

    // Room for the longest text a counted string holds with a NUL after it.
    LongPath->Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, MAX_COUNTED_BYTES, VEXR_TAG);
    if (LongPath->Buffer == NULL) {
        DbgPrint("Memory allocation error\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    LongPath->MaximumLength = MAX_COUNTED_BYTES;
    status = ExpandComponents(Path, dos, LongPath);
    if (!NT_SUCCESS(status)) {
        FreeOwnedString(LongPath);
        return status;
    }
    NTSTATUS insertStatus = CTInsertElement(&g_VexRegFilterData.ProcessCache, Path, LongPath, NULL, FALSE);
    if (!NT_SUCCESS(insertStatus)) {
        DbgPrint("KernelGetLongPathName CTInsertElement failed Key = %wZ Element = %wZ\n", Path, LongPath);
    }
    return STATUS_SUCCESS;
}
