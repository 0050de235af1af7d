// The shape every handle-based key service shares: reference the handle for the caller's mode,
// pre-notification, the registry's own operation, post-notification with its result,
// dereference. Host code only.
#pragma once

#include "sim/cm/callbacks.h"
#include "sim/cm/registry.h"
#include "sim/ob/object.h"

namespace vexsim {

// Info is the notify class's information block with Object, CallContext and ObjectContext;
// operation(KeyBody&) runs the registry's part and returns its status. A pre-callback that
// returns STATUS_CALLBACK_BYPASS completed the operation: the caller gets STATUS_SUCCESS and
// whatever the callback wrote.
template <typename Info, typename Operation>
[[nodiscard]] NTSTATUS RunKeyOperation(HANDLE keyHandle, ACCESS_MASK desiredAccess, KPROCESSOR_MODE mode,
                                       REG_NOTIFY_CLASS preClass, REG_NOTIFY_CLASS postClass, Info& info,
                                       Operation operation)
{
    PVOID object;
    NTSTATUS status = ReferenceKeyByHandle(keyHandle, desiredAccess, mode, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    info.Object = object;
    NotifiedOperation notified(object, &info.CallContext, &info.ObjectContext);
    status = notified.Pre(preClass, &info);
    if (status == STATUS_CALLBACK_BYPASS) {
        status = notified.Post(postClass, STATUS_SUCCESS);
    } else if (NT_SUCCESS(status)) {
        status = notified.Post(postClass, operation(BodyOf(object)));
    } else {
        // Callbacks above the one that failed the operation learn how it ended.
        status = notified.Post(postClass, status);
    }
    DereferenceObject(object);
    return status;
}

}  // namespace vexsim
