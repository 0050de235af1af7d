// Which sandboxed process opened the root of which application hive: recorded when the open
// completes and forgotten when the key object goes (tables/builtin_lists.h tells why the list
// keeps the object only as an identity).
#include "callback/callback_private.h"

#include "names/name_patterns.h"
#include "tables/builtin_lists.h"

// Comes for every key object of every process when it is torn down, so an object whose pair a
// process recorded is forgotten whichever process drops it last. While no hive is recorded there
// is nothing to forget and nothing is looked at.
NTSTATUS VexRegNtPreKeyHandleClose(PREG_KEY_HANDLE_CLOSE_INFORMATION Information)
{
    PCUNICODE_STRING name = NULL;

    TraceEnter("VexRegNtPreKeyHandleClose");
    if (AHLIsEmpty()) {
        goto Exit;
    }
    NTSTATUS status;
    status = CmCallbackGetKeyObjectID(&g_VexRegFilterData.CallbackCookie, Information->Object, NULL, &name);
    if (!NT_SUCCESS(status)) {
        PrintPrefixed("VexRegNtPreKeyHandleClose - Failed to CmCallbackGetKeyObjectID. NTStatus = %08x\n", status);
        goto Exit;
    }
    if (IsAppHiveRootName(name)) {
        AHLDelete(Information->Object, name);
    }

Exit:
    TraceExit("VexRegNtPreKeyHandleClose");
    return STATUS_SUCCESS;
}

// Object is defined only when the open ended with STATUS_SUCCESS: a link that sent the open
// elsewhere (STATUS_REPARSE) leaves it undefined. The object's own name says whether it is a
// hive root, however the caller named it. Only the program's own handles count: a kernel handle
// (the driver's own root key among them) is no open of the program's.
NTSTATUS VexRegNtPostKeyHandleClose(PREG_POST_OPERATION_INFORMATION Information)
{
    PREG_OPEN_KEY_INFORMATION_V1 open = (PREG_OPEN_KEY_INFORMATION_V1)Information->PreInformation;
    PCUNICODE_STRING name = NULL;

    TraceEnter("VexRegNtPostKeyHandleClose");
    if (Information->Status == STATUS_SUCCESS && open != NULL &&
        (open->Version < 1 || (open->Attributes & OBJ_KERNEL_HANDLE) == 0) &&
        NT_SUCCESS(CmCallbackGetKeyObjectID(&g_VexRegFilterData.CallbackCookie, Information->Object, NULL, &name)) &&
        IsAppHiveRootName(name)) {
        (VOID)AHLInsert(PsGetCurrentProcessId(), Information->Object, name);
    }
    TraceExit("VexRegNtPostKeyHandleClose");
    return STATUS_SUCCESS;
}
