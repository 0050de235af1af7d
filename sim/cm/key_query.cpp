// ZwQueryKey, ZwEnumerateKey, ZwQueryValueKey and ZwEnumerateValueKey.
//
// Subkeys enumerate in the order of their upper-cased names (what Windows is seen to do; it
// promises no order), values in the order they were first set: overwriting a value keeps its
// place, deleting one moves the later ones up.
#include "sim/cm/key_information.h"
#include "sim/cm/key_operation.h"
#include "sim/cm/key_services.h"
#include "sim/ps/process_memory.h"
#include "sim/rtl/utf.h"

namespace vexsim {

namespace {

// KeyNameInformation and KeyHandleTagsInformation need no right on the handle.
ACCESS_MASK AccessToQuery(KEY_INFORMATION_CLASS informationClass)
{
    return informationClass == KeyNameInformation || informationClass == KeyHandleTagsInformation ? 0
                                                                                                  : KEY_QUERY_VALUE;
}

// Builds an answer from the key's node under the tree lock and copies it to the caller's buffer
// after the lock is gone. A deleted key answers STATUS_KEY_DELETED; build may refuse with its own
// status.
template <typename Build>
NTSTATUS AnswerFromNode(KeyBody& key, PVOID buffer, ULONG length, PULONG resultLength, KPROCESSOR_MODE mode,
                        Build build)
{
    Answer answer;
    {
        std::lock_guard lock(TreeLock());
        const KeyNode& node = *key.node;
        if (node.deleted) {
            return STATUS_KEY_DELETED;
        }
        NTSTATUS built = build(node, answer);
        if (!NT_SUCCESS(built)) {
            return built;
        }
    }
    return CopyAnswer(answer, buffer, length, resultLength, mode);
}

}  // namespace

// A user-mode caller's buffers are probed here, before anything happens, as the system service
// does on Windows; the answer is copied into them later and may still fault then.
NTSTATUS CheckOutputBuffer(PVOID buffer, ULONG length, PULONG resultLength, KPROCESSOR_MODE mode)
{
    if (resultLength == nullptr) {
        return BadPointer(mode, "a null ResultLength");
    }
    if (buffer == nullptr && length != 0) {
        return BadPointer(mode, "a null buffer of nonzero Length");
    }
    NTSTATUS status = ProbeCaller(mode, resultLength, sizeof(ULONG), true);
    return NT_SUCCESS(status) ? ProbeCaller(mode, buffer, length, true) : status;
}

NTSTATUS QueryKey(HANDLE keyHandle, KEY_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                  PULONG resultLength, KPROCESSOR_MODE mode)
{
    if (!IsKeyInformationClass(informationClass)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckOutputBuffer(buffer, length, resultLength, mode);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    REG_QUERY_KEY_INFORMATION info{nullptr, informationClass, buffer, length, resultLength, nullptr, nullptr, nullptr};
    return RunKeyOperation(keyHandle, AccessToQuery(informationClass), mode, RegNtPreQueryKey, RegNtPostQueryKey, info,
                           [&](KeyBody& key) {
                               return AnswerFromNode(key, buffer, length, resultLength, mode,
                                                     [&](const KeyNode& node, Answer& answer) {
                                                         return BuildKeyAnswer(node, informationClass, answer);
                                                     });
                           });
}

NTSTATUS EnumerateKey(HANDLE keyHandle, ULONG index, KEY_INFORMATION_CLASS informationClass, PVOID buffer, ULONG length,
                      PULONG resultLength, KPROCESSOR_MODE mode)
{
    // Only the basic, node and full classes enumerate (documented for ZwEnumerateKey).
    if (informationClass != KeyBasicInformation && informationClass != KeyNodeInformation &&
        informationClass != KeyFullInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckOutputBuffer(buffer, length, resultLength, mode);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    REG_ENUMERATE_KEY_INFORMATION info{nullptr, index,   informationClass, buffer, length,
                                       resultLength, nullptr, nullptr, nullptr};
    return RunKeyOperation(keyHandle, KEY_ENUMERATE_SUB_KEYS, mode, RegNtPreEnumerateKey, RegNtPostEnumerateKey, info,
                           [&](KeyBody& key) {
                               return AnswerFromNode(key, buffer, length, resultLength, mode,
                                                     [&](const KeyNode& node, Answer& answer) {
                                                         if (index >= node.subkeys.size()) {
                                                             return STATUS_NO_MORE_ENTRIES;
                                                         }
                                                         return BuildKeyAnswer(*node.subkeys.At(index), informationClass,
                                                                               answer);
                                                     });
                           });
}

NTSTATUS QueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS informationClass,
                       PVOID buffer, ULONG length, PULONG resultLength, KPROCESSOR_MODE mode)
{
    if (!IsValueInformationClass(informationClass)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckOutputBuffer(buffer, length, resultLength, mode);
    std::u16string name;
    if (NT_SUCCESS(status)) {
        status = CaptureCountedName(valueName, name);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING captured = CountedView(name);
    REG_QUERY_VALUE_KEY_INFORMATION info{nullptr, &captured, informationClass, buffer, length,
                                         resultLength, nullptr,   nullptr,          nullptr};
    return RunKeyOperation(keyHandle, KEY_QUERY_VALUE, mode, RegNtPreQueryValueKey, RegNtPostQueryValueKey, info,
                           [&](KeyBody& key) {
                               return AnswerFromNode(key, buffer, length, resultLength, mode,
                                                     [&](const KeyNode& node, Answer& answer) {
                                                         const KeyValue* value = FindValue(node, name);
                                                         if (value == nullptr) {
                                                             return STATUS_OBJECT_NAME_NOT_FOUND;
                                                         }
                                                         return BuildValueAnswer(*value, informationClass, answer);
                                                     });
                           });
}

NTSTATUS EnumerateValueKey(HANDLE keyHandle, ULONG index, KEY_VALUE_INFORMATION_CLASS informationClass, PVOID buffer,
                           ULONG length, PULONG resultLength, KPROCESSOR_MODE mode)
{
    if (!IsValueInformationClass(informationClass)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckOutputBuffer(buffer, length, resultLength, mode);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    REG_ENUMERATE_VALUE_KEY_INFORMATION info{nullptr, index,   informationClass, buffer, length,
                                             resultLength, nullptr, nullptr, nullptr};
    return RunKeyOperation(keyHandle, KEY_QUERY_VALUE, mode, RegNtPreEnumerateValueKey, RegNtPostEnumerateValueKey,
                           info, [&](KeyBody& key) {
                               return AnswerFromNode(key, buffer, length, resultLength, mode,
                                                     [&](const KeyNode& node, Answer& answer) {
                                                         if (index >= node.values.size()) {
                                                             return STATUS_NO_MORE_ENTRIES;
                                                         }
                                                         return BuildValueAnswer(node.values[index], informationClass,
                                                                                 answer);
                                                     });
                           });
}

}  // namespace vexsim

using namespace vexsim;

extern "C" NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                                     ULONG Length, PULONG ResultLength)
{
    KernelServiceScope kernel(__func__);
    return QueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength, KernelMode);
}

extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    KernelServiceScope kernel(__func__);
    return EnumerateKey(KeyHandle, Index, KeyInformationClass, KeyInformation, Length, ResultLength, KernelMode);
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    KernelServiceScope kernel(__func__);
    return QueryValueKey(KeyHandle, ValueName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength,
                         KernelMode);
}

extern "C" NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                              KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                              PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    KernelServiceScope kernel(__func__);
    return EnumerateValueKey(KeyHandle, Index, KeyValueInformationClass, KeyValueInformation, Length, ResultLength,
                             KernelMode);
}
