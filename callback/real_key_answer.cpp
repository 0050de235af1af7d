// Answers from the real key: a key's copy that the sandbox has not changed is enumerated and
// queried as the real key it stands for. The real key is asked into a buffer of the driver's own,
// never larger than the largest answer the registry can give, whatever length the caller claims;
// the answer then goes to the caller's buffers through the fault-safe copy.
#include "callback/callback_private.h"

#include "common/name_buffer.h"
#include "common/pool_tags.h"
#include "cow/cow.h"

// The largest answer of any key information class: a node answer with the longest key name
// (255 characters) and the longest class a counted string holds. A name answer (a full key name)
// and a full answer (a class) are shorter.
#define KEY_ANSWER_LIMIT (FIELD_OFFSET(KEY_NODE_INFORMATION, Name) + 255 * sizeof(WCHAR) + MAX_COUNTED_BYTES)

// The largest self-relative security descriptor: its header, owner and group of the largest SID
// (eight bytes and every subauthority), and a DACL and a SACL of the largest ACL size.
#define LARGEST_SID_BYTES (8 + SID_MAX_SUB_AUTHORITIES * sizeof(ULONG))
#define LARGEST_ACL_BYTES 0xFFFF
#define SECURITY_ANSWER_LIMIT (sizeof(SECURITY_DESCRIPTOR_RELATIVE) + 2 * LARGEST_SID_BYTES + 2 * LARGEST_ACL_BYTES)

static ULONG BoundedLength(ULONG Length, ULONG Limit)
{
    return Length < Limit ? Length : Limit;
}

// What the real call answered reaches the caller as the registry hands it out: the length it
// reports when it reports one (an answer, or the size one needs), the whole answer on success, and
// on STATUS_BUFFER_OVERFLOW what the real call wrote of it, the whole buffer it was given (readers
// such as RegQueryInfoKey take the fixed part of a partial answer). A fault in the caller's memory
// is the result then.
static NTSTATUS CopyAnswerToCaller(NTSTATUS Status, const VOID* Answer, ULONG AnswerLength, ULONG ResultLength,
                                   PVOID KeyInformation, PULONG CallerResultLength)
{
    if (Status != STATUS_SUCCESS && Status != STATUS_BUFFER_OVERFLOW && Status != STATUS_BUFFER_TOO_SMALL) {
        return Status;
    }
    NTSTATUS copied = WriteCallerUlong(CallerResultLength, ResultLength);
    if (NT_SUCCESS(copied) && Status == STATUS_SUCCESS) {
        copied = CopyToCaller(KeyInformation, Answer, ResultLength);
    } else if (NT_SUCCESS(copied) && Status == STATUS_BUFFER_OVERFLOW) {
        copied = CopyToCaller(KeyInformation, Answer, AnswerLength);
    }
    return NT_SUCCESS(copied) ? Status : copied;
}

// Statuses that tell the size of an answer or the end of an enumeration: no debugger line.
static BOOLEAN IsSizeOrEndStatus(NTSTATUS Status)
{
    return Status == STATUS_BUFFER_OVERFLOW || Status == STATUS_BUFFER_TOO_SMALL || Status == STATUS_NO_MORE_ENTRIES;
}

// Opens the real key and allocates the driver's answer buffer of Length bytes (none for 0); Caller
// and BufferName name the failure lines. On failure nothing is left open or allocated.
static NTSTATUS BeginRealKeyAnswer(PCSTR Caller, PCSTR BufferName, PCUNICODE_STRING OriginalName, ULONG Length,
                                   PHANDLE Key, PVOID* Answer)
{
    *Answer = NULL;
    NTSTATUS status = OpenRegistryKey(Key, OriginalName, KEY_READ);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("%s - ZwOpenKey failed : path = %wZ status = %x\n", Caller, OriginalName, status);
        return status;
    }
    if (Length != 0) {
        *Answer = ExAllocatePoolZero(g_NonPagedPoolType, Length, VEXR_TAG);
        if (*Answer == NULL) {
            PrintPrefixed("%s - %s allocate error\n", Caller, BufferName);
            ZwClose(*Key);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return STATUS_SUCCESS;
}

static VOID EndRealKeyAnswer(HANDLE Key, PVOID Answer)
{
    if (Answer != NULL) {
        ExFreePoolWithTag(Answer, VEXR_TAG);
    }
    ZwClose(Key);
}

NTSTATUS EnumerateKey(PCUNICODE_STRING OriginalName, PREG_ENUMERATE_KEY_INFORMATION Information)
{
    HANDLE key = NULL;
    PVOID answer = NULL;
    ULONG resultLength = 0;
    const ULONG length = BoundedLength(Information->Length, KEY_ANSWER_LIMIT);

    NTSTATUS status = BeginRealKeyAnswer("EnumerateKey", "KeyInformation", OriginalName, length, &key, &answer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwEnumerateKey(key, Information->Index, Information->KeyInformationClass, answer, length, &resultLength);
    if (!NT_SUCCESS(status) && !IsSizeOrEndStatus(status)) {
        PrintPrefixed("EnumerateKey - ZwEnumerateKey : NTStatus = 0x%08X path = %wZ index = %d\n", status, OriginalName,
                      Information->Index);
    }
    status = CopyAnswerToCaller(status, answer, length, resultLength, Information->KeyInformation, Information->ResultLength);
    EndRealKeyAnswer(key, answer);
    return status;
}

NTSTATUS QueryKey(PCUNICODE_STRING OriginalName, PREG_QUERY_KEY_INFORMATION Information)
{
    HANDLE key = NULL;
    PVOID answer = NULL;
    ULONG resultLength = 0;
    const ULONG length = BoundedLength(Information->Length, KEY_ANSWER_LIMIT);

    NTSTATUS status = BeginRealKeyAnswer("QueryKey", "KeyInformation", OriginalName, length, &key, &answer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwQueryKey(key, Information->KeyInformationClass, answer, length, &resultLength);
    if (!NT_SUCCESS(status) && !IsSizeOrEndStatus(status)) {
        PrintPrefixed("QueryKey - ZwQueryKey : NTStatus = 0x%08X path = %wZ\n", status, OriginalName);
    }
    status = CopyAnswerToCaller(status, answer, length, resultLength, Information->KeyInformation, Information->ResultLength);
    EndRealKeyAnswer(key, answer);
    return status;
}

// SecurityInformation and Length are the system's own copies of the caller's arguments (it hands
// the needed length on to the caller); only the descriptor buffer is the caller's memory.
NTSTATUS QuerySecurity(PCUNICODE_STRING OriginalName, PREG_QUERY_KEY_SECURITY_INFORMATION Information)
{
    HANDLE key = NULL;
    PVOID answer = NULL;
    ULONG resultLength = 0;
    const ULONG length = BoundedLength(*Information->Length, SECURITY_ANSWER_LIMIT);

    NTSTATUS status = BeginRealKeyAnswer("QuerySecurity", "SecurityDescriptor", OriginalName, length, &key, &answer);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwQuerySecurityObject(key, *Information->SecurityInformation, answer, length, &resultLength);
    *Information->Length = resultLength;
    if (NT_SUCCESS(status)) {
        status = CopyToCaller(Information->SecurityDescriptor, answer, resultLength);
    } else if (!IsSizeOrEndStatus(status)) {
        PrintPrefixed("QuerySecurity - ZwQuerySecurityObject : NTStatus = 0x%08X path = %wZ\n", status, OriginalName);
    }
    EndRealKeyAnswer(key, answer);
    return status;
}
