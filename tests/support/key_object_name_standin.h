// A stand-in for CmCallbackGetKeyObjectID until the simulated configuration manager provides key
// objects. Include it in exactly one source file of a program that links the name translation.
//
// The definition is weak: once the simulated kernel defines the routine, the kernel's wins, and
// the stand-in and the tests that use StandInKeyObject are to be removed (they then hand the
// kernel objects it does not know).
#pragma once

#include "platform/platform.h"

namespace vextest {

// What the stand-in reports for a "key object": the name, or the failure status when it is not
// a success. A name without a buffer is reported as no name at all.
struct StandInKeyObject {
    UNICODE_STRING Name;
    NTSTATUS Status;
};

}  // namespace vextest

extern "C" __attribute__((weak)) NTSTATUS NTAPI CmCallbackGetKeyObjectID(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                                         PCUNICODE_STRING* ObjectName)
{
    (void)Cookie;
    auto* key = static_cast<vextest::StandInKeyObject*>(Object);
    if (ObjectID != nullptr) {
        *ObjectID = reinterpret_cast<ULONG_PTR>(Object);
    }
    if (!NT_SUCCESS(key->Status)) {
        return key->Status;
    }
    if (ObjectName != nullptr) {
        *ObjectName = (key->Name.Buffer != nullptr) ? &key->Name : nullptr;
    }
    return STATUS_SUCCESS;
}
