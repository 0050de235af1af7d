// Handlers of the redirection controls and the parameter dump. The dispatcher holds the
// configuration lock around each.
#include "driver/control_request.h"

#include "common/debug_print.h"
#include "driver/control_codes.h"
#include "driver/param_dump.h"
#include "driver/redirection.h"

NTSTATUS HandleSetRedirectKeyName(PCONTROL_REQUEST Request)
{
    return SetRedirectKeyName(&Request->Text);
}

NTSTATUS HandleSetRedirectUserClasses(PCONTROL_REQUEST Request)
{
    return SetRedirectUserClassesKeyName(&Request->Text);
}

NTSTATUS HandleSetRedirectMachineClasses(PCONTROL_REQUEST Request)
{
    return SetRedirectMachineClassesKeyName(&Request->Text);
}

// A name field of the value block: the characters before a NUL that lies inside the field.
static BOOLEAN ReadBlockName(PUCHAR Block, ULONG Offset, PUNICODE_STRING Name)
{
    PWSTR text = (PWSTR)(Block + Offset);
    for (USHORT i = 0; i < SET_REG_VALUE_NAME_BYTES / sizeof(WCHAR); i++) {
        if (text[i] == L'\0') {
            Name->Buffer = text;
            Name->Length = (USHORT)(i * sizeof(WCHAR));
            Name->MaximumLength = (USHORT)(Name->Length + sizeof(WCHAR));
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS HandleSetRegValue(PCONTROL_REQUEST Request)
{
    PUCHAR block = (PUCHAR)Request->SystemBuffer;
    UNICODE_STRING keyName;
    UNICODE_STRING valueName;
    ULONG type;
    ULONG dataSize;
    RtlCopyMemory(&type, block + SET_REG_VALUE_TYPE_OFFSET, sizeof(type));
    RtlCopyMemory(&dataSize, block + SET_REG_VALUE_DATA_SIZE_OFFSET, sizeof(dataSize));
    if (!ReadBlockName(block, SET_REG_VALUE_KEY_NAME_OFFSET, &keyName) ||
        !ReadBlockName(block, SET_REG_VALUE_VALUE_NAME_OFFSET, &valueName) || dataSize > SET_REG_VALUE_DATA_BYTES) {
        return STATUS_INVALID_PARAMETER;
    }
    return SetRegValue(&keyName, &valueName, type, block + SET_REG_VALUE_DATA_OFFSET, dataSize, Request->InputLength);
}

NTSTATUS HandleStartRedirect(PCONTROL_REQUEST Request)
{
    UNREFERENCED_PARAMETER(Request);
    return StartRegRedirect();
}

NTSTATUS HandleStopRedirect(PCONTROL_REQUEST Request)
{
    UNREFERENCED_PARAMETER(Request);
    return StopRegRedirect();
}

// The request succeeds whatever the dump met; its debugger lines tell.
NTSTATUS HandleOutputCurrentParam(PCONTROL_REQUEST Request)
{
    UNREFERENCED_PARAMETER(Request);
    PrintPrefixed("IOCTL_OUTPUT_CURRENT_PARAM\n");
    (void)OutputCurrentParam();
    return STATUS_SUCCESS;
}
