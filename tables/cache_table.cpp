// Cache table on the platform's generic table. Elements are ordered by hash, then key length, then
// the upcased key; whether case matters is decided by the hash alone. Each table's Lock is held
// for the whole of one operation and never across a call out of this file.
#include "tables/cache_table.h"

#include "common/locking.h"
#include "common/name_buffer.h"
#include "common/pool_tags.h"

// The key's length in bytes, with the separator that follows a lookup's key.
static ULONG KeyLength(const CT_ELEMENT* Element)
{
    return (ULONG)Element->Key.Length + (Element->KeySeparator ? sizeof(WCHAR) : 0);
}

static WCHAR KeyCharacter(const CT_ELEMENT* Element, ULONG Index)
{
    return Index < Element->Key.Length / sizeof(WCHAR) ? Element->Key.Buffer[Index] : L'\\';
}

static RTL_GENERIC_COMPARE_RESULTS NTAPI CTCompareElements(PRTL_GENERIC_TABLE Table, PVOID FirstStruct, PVOID SecondStruct)
{
    UNREFERENCED_PARAMETER(Table);
    const CT_ELEMENT* first = (const CT_ELEMENT*)FirstStruct;
    const CT_ELEMENT* second = (const CT_ELEMENT*)SecondStruct;

    if (first->Hash != second->Hash) {
        return first->Hash < second->Hash ? GenericLessThan : GenericGreaterThan;
    }
    const ULONG length = KeyLength(first);
    if (length != KeyLength(second)) {
        return length < KeyLength(second) ? GenericLessThan : GenericGreaterThan;
    }
    // Equal characters need no case mapping: the stretch that both buffers hold alike is passed
    // in one comparison (keys found are usually spelt alike).
    const ULONG held = first->Key.Length < second->Key.Length ? first->Key.Length : second->Key.Length;
    const ULONG alike = held != 0 ? (ULONG)RtlCompareMemory(first->Key.Buffer, second->Key.Buffer, held) : 0;
    for (ULONG i = alike / sizeof(WCHAR); i < length / sizeof(WCHAR); i++) {
        WCHAR a = KeyCharacter(first, i);
        WCHAR b = KeyCharacter(second, i);
        if (a == b) {
            continue;
        }
        a = RtlUpcaseUnicodeChar(a);
        b = RtlUpcaseUnicodeChar(b);
        if (a != b) {
            return a < b ? GenericLessThan : GenericGreaterThan;
        }
    }
    return GenericEqual;
}

static PVOID NTAPI CTAllocateNode(PRTL_GENERIC_TABLE Table, CLONG ByteSize)
{
    UNREFERENCED_PARAMETER(Table);
    return ExAllocatePoolZero(g_NonPagedPoolType, ByteSize, VEXR_TAG);
}

static VOID NTAPI CTFreeNode(PRTL_GENERIC_TABLE Table, PVOID Buffer)
{
    UNREFERENCED_PARAMETER(Table);
    ExFreePoolWithTag(Buffer, VEXR_TAG);
}

NTSTATUS CTInitialize(PCACHE_TABLE Table)
{
    if (Table == NULL) {
        DbgPrint("CTInitialize fail NTSTATUS = 0x%08x\n", STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    ExInitializeFastMutex(&Table->Lock);
    RtlInitializeGenericTable(&Table->Table, CTCompareElements, CTAllocateNode, CTFreeNode, NULL);
    return STATUS_SUCCESS;
}

NTSTATUS CTFinalize(PCACHE_TABLE Table)
{
    if (Table == NULL) {
        DbgPrint("CTFinalize fail NTSTATUS = 0x%08x\n", STATUS_INVALID_PARAMETER);
        return STATUS_INVALID_PARAMETER;
    }
    return CTDeleteAllElements(Table);
}

// A walk of the table at DISPATCH_LEVEL or above could not take the lock and would race the
// operations that hold it, so it is refused as lookups and inserts are.
NTSTATUS CTGetElementCount(PCACHE_TABLE Table, PULONG Count)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Table == NULL || Count == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (!MayTakeLock()) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("CTGetElementCount fail NTSTATUS = 0x%08x\n", status);
        return status;
    }
    ExAcquireFastMutex(&Table->Lock);
    *Count = RtlNumberGenericTableElements(&Table->Table);
    ExReleaseFastMutex(&Table->Lock);
    return STATUS_SUCCESS;
}

// Checks the arguments and the IRQL of a lookup or insert and builds the element to search for:
// the caller's key (not copied) with the caller's hash, or the key's x65599 hash.
static NTSTATUS PrepareProbe(PCSTR Routine, PCACHE_TABLE Table, PCUNICODE_STRING Key, PULONG Hash,
                             BOOLEAN CaseInsensitive, PCT_ELEMENT Probe)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (Table == NULL || Key == NULL) {
        status = STATUS_INVALID_PARAMETER;
    } else if (!MayTakeLock()) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("%s fail NTSTATUS = 0x%08x path = %wZ\n", Routine, status, Key);
        return status;
    }

    RtlZeroMemory(Probe, sizeof(*Probe));
    Probe->Key = *Key;
    if (Hash != NULL) {
        Probe->Hash = *Hash;
        return STATUS_SUCCESS;
    }
    status = RtlHashUnicodeString(Key, CaseInsensitive, HASH_STRING_ALGORITHM_X65599, &Probe->Hash);
    if (!NT_SUCCESS(status)) {
        DbgPrint("RtlHashUnicodeString fail NTSTATUS = 0x%08x path = %wZ\n", status, Key);
    }
    return status;
}

NTSTATUS CTLookupElement(PCACHE_TABLE Table, PCUNICODE_STRING Key, PUNICODE_STRING Value, PULONG Hash,
                         PULONG OutHash, BOOLEAN CaseInsensitive)
{
    CT_ELEMENT probe;
    NTSTATUS status = PrepareProbe("CTLookupElement", Table, Key, Hash, CaseInsensitive, &probe);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (OutHash != NULL) {
        *OutHash = probe.Hash;
    }

    ExAcquireFastMutex(&Table->Lock);
    PCT_ELEMENT element = (PCT_ELEMENT)RtlLookupElementGenericTable(&Table->Table, &probe);
    status = (element != NULL) ? STATUS_SUCCESS : STATUS_NOT_FOUND;
    if (element != NULL && element->Value.Buffer != NULL && Value != NULL) {
        // Two more bytes than the value, so the caller's copy is NUL-terminated; insertion keeps
        // that sum within a counted string.
        status = CopyName(Value, &element->Value, (ULONG)element->Value.Length + sizeof(WCHAR));
        if (!NT_SUCCESS(status)) {
            DbgPrint("CTLookupElement fail NTSTATUS = 0x%08x path = %wZ\n", status, Key);
        }
    }
    ExReleaseFastMutex(&Table->Lock);
    return status;
}

NTSTATUS CTLookupElementWithSeparator(PCACHE_TABLE Table, PCUNICODE_STRING Key, ULONG Hash)
{
    CT_ELEMENT probe;
    NTSTATUS status = PrepareProbe("CTLookupElement", Table, Key, &Hash, TRUE, &probe);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    probe.KeySeparator = TRUE;
    ExAcquireFastMutex(&Table->Lock);
    status = RtlLookupElementGenericTable(&Table->Table, &probe) != NULL ? STATUS_SUCCESS : STATUS_NOT_FOUND;
    ExReleaseFastMutex(&Table->Lock);
    return status;
}

// Gives a new element its own key and value. On failure the element is taken out of the table
// again, so no element is ever left with a key that breaks the table's order.
static NTSTATUS CopyIntoNewElement(PCACHE_TABLE Table, PCT_ELEMENT Element, PCUNICODE_STRING Key, PCUNICODE_STRING Value)
{
    UNICODE_STRING key = {0, 0, NULL};
    UNICODE_STRING value = {0, 0, NULL};

    // The key's buffer is as large as the caller's and never smaller than what is copied; the
    // value's is exactly its length. An empty key, which may have no buffer, copies nothing.
    NTSTATUS status = CopyName(&key, Key, Key->MaximumLength);
    if (!NT_SUCCESS(status)) {
        DbgPrint("CTInsertElement fail NTSTATUS = 0x%08x Key = %wZ\n", status, Key);
        goto Failed;
    }
    if (Value != NULL && Value->Length > 0) {
        status = DuplicateName(&value, Value);
        if (!NT_SUCCESS(status)) {
            DbgPrint("CTInsertElement fail NTSTATUS = 0x%08x path = %wZ\n", status, Key);
            goto Failed;
        }
    }
    Element->Key = key;
    Element->Value = value;
    return STATUS_SUCCESS;

Failed:
    // The element still holds the caller's key, which is equal to it, so deletion finds it. Only
    // the key's copy can exist here: the value's is the last step.
    RtlDeleteElementGenericTable(&Table->Table, Element);
    FreeOwnedString(&key);
    return status;
}

NTSTATUS CTInsertElement(PCACHE_TABLE Table, PCUNICODE_STRING Key, PCUNICODE_STRING Value, PULONG Hash,
                         BOOLEAN CaseInsensitive)
{
    CT_ELEMENT probe;
    NTSTATUS status = PrepareProbe("CTInsertElement", Table, Key, Hash, CaseInsensitive, &probe);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A lookup hands the value out with a NUL after it; a value that leaves no room for the NUL
    // in a counted string could never be handed out, so it is not stored.
    if (Value != NULL && (ULONG)Value->Length + sizeof(WCHAR) > MAX_COUNTED_BYTES) {
        status = STATUS_INVALID_PARAMETER;
        DbgPrint("CTInsertElement fail NTSTATUS = 0x%08x path = %wZ\n", status, Key);
        return status;
    }

    ExAcquireFastMutex(&Table->Lock);
    BOOLEAN isNew = FALSE;
    PCT_ELEMENT element = (PCT_ELEMENT)RtlInsertElementGenericTable(&Table->Table, &probe, sizeof(probe), &isNew);
    if (element == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        DbgPrint("RtlInsertElementGenericTable fail NTSTATUS = 0x%08x path = %wZ\n", status, Key);
    } else if (isNew) {
        status = CopyIntoNewElement(Table, element, Key, Value);
    }
    ExReleaseFastMutex(&Table->Lock);
    return status;
}

NTSTATUS CTDeleteAllElements(PCACHE_TABLE Table)
{
    if (Table == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!MayTakeLock()) {
        DbgPrint("CTDeleteAllElements fail NTSTATUS = 0x%08x\n", STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }
    ExAcquireFastMutex(&Table->Lock);
    while (!RtlIsGenericTableEmpty(&Table->Table)) {
        PCT_ELEMENT element = (PCT_ELEMENT)RtlGetElementGenericTable(&Table->Table, 0);
        UNICODE_STRING key = element->Key;
        UNICODE_STRING value = element->Value;
        RtlDeleteElementGenericTable(&Table->Table, element);
        FreeOwnedString(&key);
        FreeOwnedString(&value);
    }
    ExReleaseFastMutex(&Table->Lock);
    return STATUS_SUCCESS;
}
