// ZwSetValueKey, ZwDeleteValueKey, ZwDeleteKey, ZwRenameKey, ZwSetInformationKey and
// ZwFlushKey. Every change sets the key's last-write time from the simulated clock.
#include "sim/cm/key_operation.h"
#include "sim/cm/key_services.h"
#include "sim/ps/process_memory.h"
#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

const std::u16string kLinkValueName = u"SymbolicLinkValue";

NTSTATUS SetValueInTree(KeyNode& node, const std::u16string& name, ULONG type, std::vector<UCHAR> data)
{
    std::lock_guard lock(TreeLock());
    if (node.deleted) {
        return STATUS_KEY_DELETED;
    }
    // A link key holds nothing but its target.
    if (node.isLink && !(SameName(name, kLinkValueName) && type == REG_LINK)) {
        return STATUS_ACCESS_DENIED;
    }
    StoreValue(node, KeyValue{name, type, std::move(data)});
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                     ULONG dataSize, KPROCESSOR_MODE mode)
{
    std::u16string name;
    NTSTATUS status = CaptureCountedName(valueName, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (name.size() > kMaxValueNameChars) {
        return STATUS_INVALID_PARAMETER;
    }
    if (data == nullptr && dataSize != 0) {
        return BadPointer(mode, "null Data of nonzero DataSize");
    }
    std::vector<UCHAR> captured;
    if (data != nullptr) {
        status = ProbeCaller(mode, data, dataSize, false);
        if (NT_SUCCESS(status)) {
            captured.resize(dataSize);
            status = CopyFromCaller(mode, captured.data(), data, dataSize);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    UNICODE_STRING capturedName = CountedView(name);
    REG_SET_VALUE_KEY_INFORMATION info{nullptr, &capturedName, titleIndex, type, captured.data(),
                                       dataSize, nullptr,       nullptr,    nullptr};
    return RunKeyOperation(keyHandle, KEY_SET_VALUE, mode, RegNtPreSetValueKey, RegNtPostSetValueKey, info,
                           [&](KeyBody& key) { return SetValueInTree(*key.node, name, type, captured); });
}

NTSTATUS DeleteValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KPROCESSOR_MODE mode)
{
    std::u16string name;
    NTSTATUS status = CaptureCountedName(valueName, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING capturedName = CountedView(name);
    REG_DELETE_VALUE_KEY_INFORMATION info{nullptr, &capturedName, nullptr, nullptr, nullptr};
    return RunKeyOperation(keyHandle, KEY_SET_VALUE, mode, RegNtPreDeleteValueKey, RegNtPostDeleteValueKey, info,
                           [&](KeyBody& key) {
                               std::lock_guard lock(TreeLock());
                               KeyNode& node = *key.node;
                               if (node.deleted) {
                                   return STATUS_KEY_DELETED;
                               }
                               if (!node.values.Erase(name)) {
                                   return STATUS_OBJECT_NAME_NOT_FOUND;
                               }
                               Touch(node);
                               return STATUS_SUCCESS;
                           });
}

// Hive roots cannot be deleted (STATUS_CANNOT_DELETE, as for a key with subkeys). Values do not
// keep a key alive. The node stays with the key objects that still refer to it, marked deleted.
// Deleting a key that is already deleted succeeds and changes nothing, as on Windows.
NTSTATUS DeleteKey(HANDLE keyHandle, KPROCESSOR_MODE mode)
{
    REG_DELETE_KEY_INFORMATION info{nullptr, nullptr, nullptr, nullptr};
    return RunKeyOperation(keyHandle, DELETE, mode, RegNtPreDeleteKey, RegNtPostDeleteKey, info, [&](KeyBody& key) {
        std::lock_guard lock(TreeLock());
        KeyNode& node = *key.node;
        if (node.deleted) {
            return STATUS_SUCCESS;
        }
        if (node.isHiveRoot || node.parent == nullptr || !node.subkeys.empty()) {
            return STATUS_CANNOT_DELETE;
        }
        RemoveSubkey(*node.parent, node);
        node.deleted = true;
        node.parent = nullptr;
        return STATUS_SUCCESS;
    });
}

// A new name that a subkey of the parent already has, the key's own included and compared
// without case like every key name, is refused with STATUS_CANNOT_DELETE: Windows answers so for
// the key's own name; that it answers so for a sibling's too is this kernel's reading of the same
// rule. Hive roots keep their names (STATUS_ACCESS_DENIED). The handle needs KEY_WRITE.
NTSTATUS RenameKey(HANDLE keyHandle, PUNICODE_STRING newName, KPROCESSOR_MODE mode)
{
    if (newName == nullptr) {
        return BadPointer(mode, "a null NewName");
    }
    std::u16string name;
    NTSTATUS status = CaptureCountedName(newName, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (name.empty() || name.size() > kMaxKeyNameChars || name.find(kPathSeparator) != std::u16string::npos) {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING capturedName = CountedView(name);
    REG_RENAME_KEY_INFORMATION info{nullptr, &capturedName, nullptr, nullptr, nullptr};
    return RunKeyOperation(keyHandle, KEY_WRITE, mode, RegNtPreRenameKey, RegNtPostRenameKey, info, [&](KeyBody& key) {
        std::lock_guard lock(TreeLock());
        KeyNode& node = *key.node;
        if (node.deleted) {
            return STATUS_KEY_DELETED;
        }
        if (node.isHiveRoot || node.parent == nullptr) {
            return STATUS_ACCESS_DENIED;
        }
        if (FindSubkey(*node.parent, name) != nullptr) {
            return STATUS_CANNOT_DELETE;
        }
        // Refused like a create that would pass the limit (see CheckNewSubkey), the key and
        // everything below it keeping their names.
        if (!NamesFitAfterRename(node, name)) {
            return STATUS_NAME_TOO_LONG;
        }
        RenameSubkey(*node.parent, node, name);
        return STATUS_SUCCESS;
    });
}

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                                        PVOID Data, ULONG DataSize)
{
    KernelServiceScope kernel(__func__);
    return SetValueKey(KeyHandle, ValueName, TitleIndex, Type, Data, DataSize, KernelMode);
}

extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    KernelServiceScope kernel(__func__);
    return DeleteValueKey(KeyHandle, ValueName, KernelMode);
}

extern "C" NTSTATUS NTAPI ZwDeleteKey(HANDLE KeyHandle)
{
    KernelServiceScope kernel(__func__);
    return DeleteKey(KeyHandle, KernelMode);
}

extern "C" NTSTATUS NTAPI ZwRenameKey(HANDLE KeyHandle, PUNICODE_STRING NewName)
{
    KernelServiceScope kernel(__func__);
    return RenameKey(KeyHandle, NewName, KernelMode);
}

// Only KeyWriteTimeInformation is modelled; the other classes are refused as invalid. The
// length must be exactly 8 bytes (STATUS_INFO_LENGTH_MISMATCH otherwise, the NT convention) and
// the handle needs KEY_SET_VALUE (Windows documents neither).
extern "C" NTSTATUS NTAPI ZwSetInformationKey(HANDLE KeyHandle, KEY_SET_INFORMATION_CLASS KeySetInformationClass,
                                              PVOID KeySetInformation, ULONG KeySetInformationLength)
{
    KernelServiceScope kernel(__func__);
    if (KeySetInformationClass != KeyWriteTimeInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeySetInformationLength != sizeof(KEY_WRITE_TIME_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (KeySetInformation == nullptr) {
        return BadPointer(KernelMode, "null KeySetInformation");
    }
    KEY_WRITE_TIME_INFORMATION captured = *static_cast<const KEY_WRITE_TIME_INFORMATION*>(KeySetInformation);
    REG_SET_INFORMATION_KEY_INFORMATION info{nullptr, KeySetInformationClass, &captured, KeySetInformationLength,
                                             nullptr, nullptr,                nullptr};
    return RunKeyOperation(KeyHandle, KEY_SET_VALUE, KernelMode, RegNtPreSetInformationKey, RegNtPostSetInformationKey,
                           info, [&](KeyBody& key) {
                               std::lock_guard lock(TreeLock());
                               if (key.node->deleted) {
                                   return STATUS_KEY_DELETED;
                               }
                               key.node->lastWriteTime = captured.LastWriteTime.QuadPart;
                               return STATUS_SUCCESS;
                           });
}

namespace vexsim {

// Nothing to write out: the simulated registry lives in memory. The handle needs no right.
NTSTATUS FlushKey(HANDLE keyHandle, KPROCESSOR_MODE mode)
{
    REG_FLUSH_KEY_INFORMATION info{nullptr, nullptr, nullptr, nullptr};
    return RunKeyOperation(keyHandle, 0, mode, RegNtPreFlushKey, RegNtPostFlushKey, info, [&](KeyBody& key) {
        std::lock_guard lock(TreeLock());
        return key.node->deleted ? STATUS_KEY_DELETED : STATUS_SUCCESS;
    });
}

}  // namespace vexsim

extern "C" NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle)
{
    KernelServiceScope kernel(__func__);
    return FlushKey(KeyHandle, KernelMode);
}
