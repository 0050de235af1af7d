// Writing one value into a key that may not exist yet, for the values redirection sets in the copy.
#include "cow/cow_private.h"

#include "common/debug_print.h"
#include "common/name_buffer.h"
#include "tables/global_data.h"

NTSTATUS CreateRegData(PCUNICODE_STRING KeyName, PCUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize)
{
    HANDLE key = NULL;
    NTSTATUS status = STATUS_SUCCESS;

    TraceLine("VexRegFilter - CreateRegData() - enter\n");
    if (!IsNameSet(KeyName) || KeyName->Length < MIN_FULL_KEY_NAME_BYTES) {
        return STATUS_INVALID_PARAMETER;
    }
    TraceLine("VexRegFilter - CreateRegData() [FullName] : %wZ\n", KeyName);
    TraceLine("VexRegFilter - CreateRegData() [ValueName] : %wZ\n", ValueName);

    // Every key above KeyName, each by its full name.
    for (USHORT i = REGISTRY_PREFIX_CHARS; i < KeyName->Length / sizeof(WCHAR) && NT_SUCCESS(status); i++) {
        if (KeyName->Buffer[i] != L'\\') {
            continue;
        }
        UNICODE_STRING prefix = *KeyName;
        prefix.Length = (USHORT)(i * sizeof(WCHAR));
        DetailLinePrefixed("Create Name : %wZ\n", &prefix);
        status = CreateKeyAt(&key, NULL, &prefix, REG_OPTION_VOLATILE);
        CloseKey(&key);
    }
    if (NT_SUCCESS(status)) {
        status = CreateKeyAt(&key, NULL, KeyName, REG_OPTION_VOLATILE);
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("CreateRegData Create Key Error : %x\n", status);
        goto Exit;
    }
    TraceLine("VexRegFilter - CreateRegData() ZwCreateKey succeeded [FullName] : %wZ\n", KeyName);

    status = ZwSetValueKey(key, (PUNICODE_STRING)ValueName, 0, Type, Data, DataSize);
    if (!NT_SUCCESS(status)) {
        DbgPrint("CreateRegData ZwSetValueKey Error : %x\n", status);
    } else {
        TraceLine("VexRegFilter - CreateRegData() ZwSetValueKey succeeded [ValueName] : %wZ\n", ValueName);
    }
    CloseKey(&key);

Exit:
    TraceLine("VexRegFilter - CreateRegData() - exit\n");
    return status;
}
