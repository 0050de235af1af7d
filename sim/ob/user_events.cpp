#include "sim/ob/user_events.h"

#include "sim/ob/handles.h"
#include "sim/ob/object.h"
#include "sim/ps/user_mode_scope.h"

namespace vexsim {

NTSTATUS UserCreateEvent(EVENT_TYPE type, BOOLEAN initialState, HANDLE* handle, ACCESS_MASK desiredAccess)
{
    RequireUserMode("UserCreateEvent");
    *handle = nullptr;
    if (type != NotificationEvent && type != SynchronizationEvent) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* event = static_cast<PKEVENT>(CreateObject(*ExEventObjectType, sizeof(KEVENT)));
    KeInitializeEvent(event, type, initialState);
    *handle = OpenHandle(event, 0, MapAccess(*ExEventObjectType, desiredAccess));
    DereferenceObject(event);  // the handle holds the object now
    return STATUS_SUCCESS;
}

namespace {

// Waits on an event or thread handle for a caller of the given mode (a user-mode handle needs
// SYNCHRONIZE); other objects cannot be waited on here (STATUS_OBJECT_TYPE_MISMATCH).
NTSTATUS WaitForHandle(HANDLE handle, const LARGE_INTEGER* timeout, KPROCESSOR_MODE mode)
{
    PVOID object;
    NTSTATUS status = ReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, mode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    POBJECT_TYPE type = TypeOf(object);
    if (type != *ExEventObjectType && type != *PsThreadType) {
        DereferenceObject(object);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    LARGE_INTEGER copy{};
    if (timeout != nullptr) {
        copy = *timeout;
    }
    status = KeWaitForSingleObject(object, mode == UserMode ? UserRequest : Executive, mode, FALSE,
                                   timeout != nullptr ? &copy : nullptr);
    DereferenceObject(object);
    return status;
}

}  // namespace

NTSTATUS UserWaitForSingleObject(HANDLE handle, const LARGE_INTEGER* timeout)
{
    RequireUserMode("UserWaitForSingleObject");
    return WaitForHandle(handle, timeout, UserMode);
}

}  // namespace vexsim

// Alertable waits are accepted; the simulated machine delivers no APCs (see dispatcher.cpp).
extern "C" NTSTATUS NTAPI ZwWaitForSingleObject(HANDLE Handle, BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(Alertable);
    return vexsim::WaitForHandle(Handle, Timeout, KernelMode);
}
