// Process classification: console program or not, 32- or 64-bit image, surrogate host, the
// product's own programs, and the session a process runs in.
//
// The image headers lie in the other process's address space, where that process can change or
// unmap them at any time: they are read only through the fault-safe copy, and the offset of the
// NT headers is bounded before it is followed.
#include "notify/notify_private.h"

#include "common/match.h"
#include "process/name_utils.h"
#include "tables/dl_ext_func.h"

#define DOS_SIGNATURE 0x5A4D         // "MZ"
#define DOS_NT_HEADERS_OFFSET 0x3C   // e_lfanew, a signed 32-bit offset
#define NT_SIGNATURE 0x00004550      // "PE\0\0"
#define NT_OPTIONAL_MAGIC 0x18
#define NT_SUBSYSTEM 0x5C
#define OPTIONAL_MAGIC_PE32 0x10B
#define OPTIONAL_MAGIC_PE32_PLUS 0x20B
#define SUBSYSTEM_WINDOWS_CUI 3
// The loader's own bound on e_lfanew: NT headers further out belong to no valid image.
#define MAX_NT_HEADERS_OFFSET 0x10000000

static const UNICODE_STRING g_OwnExecutables[] = {
    CONSTANT_NAME(L"Ostler.exe"),  CONSTANT_NAME(L"Ostler64.exe"),  CONSTANT_NAME(L"Lookout.exe"),
    CONSTANT_NAME(L"Lookout64.exe"), CONSTANT_NAME(L"Easel.exe"),   CONSTANT_NAME(L"Keeper.exe"),
    CONSTANT_NAME(L"KC_tool.exe"), CONSTANT_NAME(L"KC_tool64.exe"), CONSTANT_NAME(L"Skiff.exe"),
    CONSTANT_NAME(L"QFUtility.exe"), CONSTANT_NAME(L"QFUtility64.exe"),
};

// Reads the 16-bit field at FieldOffset in the NT headers of the image at ImageBase, after
// checking both signatures.
static NTSTATUS ReadNtHeadersField(PVOID ImageBase, ULONG FieldOffset, PUSHORT Value)
{
    ULONG_PTR base = (ULONG_PTR)ImageBase;
    USHORT dosSignature = 0;
    LONG ntOffset = 0;
    ULONG ntSignature = 0;

    if (ImageBase == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = CopyFromUserAddress(&dosSignature, base, sizeof(dosSignature));
    if (NT_SUCCESS(status) && dosSignature == DOS_SIGNATURE) {
        status = CopyFromUserAddress(&ntOffset, base + DOS_NT_HEADERS_OFFSET, sizeof(ntOffset));
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (dosSignature != DOS_SIGNATURE || ntOffset < 0 || ntOffset >= MAX_NT_HEADERS_OFFSET) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = CopyFromUserAddress(&ntSignature, base + (ULONG)ntOffset, sizeof(ntSignature));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ntSignature != NT_SIGNATURE) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return CopyFromUserAddress(Value, base + (ULONG)ntOffset + FieldOffset, sizeof(*Value));
}

NTSTATUS IsConsoleApp(PVOID ImageBase, PBOOLEAN IsCui)
{
    USHORT subsystem = 0;
    NTSTATUS status = ReadNtHeadersField(ImageBase, NT_SUBSYSTEM, &subsystem);
    if (NT_SUCCESS(status)) {
        *IsCui = subsystem == SUBSYSTEM_WINDOWS_CUI;
    }
    return status;
}

// A magic that is neither PE32 nor PE32+ leaves *Is64 as the caller set it.
NTSTATUS Is64bitApp(PVOID ImageBase, PBOOLEAN Is64)
{
    USHORT magic = 0;
    NTSTATUS status = ReadNtHeadersField(ImageBase, NT_OPTIONAL_MAGIC, &magic);
    if (NT_SUCCESS(status)) {
        if (magic == OPTIONAL_MAGIC_PE32) {
            *Is64 = FALSE;
        } else if (magic == OPTIONAL_MAGIC_PE32_PLUS) {
            *Is64 = TRUE;
        }
    }
    return status;
}

// A process created without a name for its image (none given) is no surrogate.
NTSTATUS IsSurrogateProc(PCUNICODE_STRING ImagePath, PBOOLEAN IsSurrogate)
{
    UNICODE_STRING fileName;
    *IsSurrogate = FALSE;
    if (ImagePath == NULL || !NT_SUCCESS(GetFileNamePart(&fileName, ImagePath)) || fileName.Length == 0) {
        return STATUS_SUCCESS;
    }
    *IsSurrogate = CTLookupElement(&g_NotifyChannel.SurrogateCache, &fileName, NULL, NULL, NULL, TRUE) == STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

BOOLEAN IsOwnExecutable(PCUNICODE_STRING ImagePath)
{
    UNICODE_STRING fileName;
    if (ImagePath == NULL || !NT_SUCCESS(GetFileNamePart(&fileName, ImagePath))) {
        return FALSE;
    }
    for (ULONG i = 0; i < RTL_NUMBER_OF(g_OwnExecutables); i++) {
        if (IsSameName(&fileName, &g_OwnExecutables[i])) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS GetSessionId(PEPROCESS Process, PULONG SessionId)
{
    HANDLE handle = NULL;
    PROCESS_SESSION_INFORMATION information;
    PVOID buffer = &information;

    NTSTATUS status = ObOpenObjectByPointer(Process, OBJ_KERNEL_HANDLE, NULL, GENERIC_READ, *PsProcessType, KernelMode, &handle);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("ObOpenObjectByPointer failed: 0x%08x\n", status);
        return status;
    }
    status = QueryInformationProcess(handle, ProcessSessionInformation, &buffer, sizeof(information));
    ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        NotifyPrint("QueryInformationProcess(ProcessSessionInformation) failed: %08x\n", status);
        return status;
    }
    *SessionId = information.SessionId;
    return STATUS_SUCCESS;
}

BOOLEAN IsReportable(const PROCESS_TRAITS* Traits, PCUNICODE_STRING ImagePath)
{
    return !IsOwnExecutable(ImagePath) && !(Traits->SessionId == 0 && Traits->IsCui);
}
