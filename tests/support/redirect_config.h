// Configures the redirect names the way the product's service does: the three name requests sent
// through the control device by a service process. The driver builds the root's pattern and USER
// and MACHINE names, cuts the SID out of the user-classes root and builds the Classes prefixes
// from it, and adds each root to the exclusion keys; its unload frees everything. A configuration
// that cannot be made ends the program: nothing measured or tested without it means anything.
#pragma once

#include "common/name_buffer.h"
#include "driver/global.h"
#include "tests/support/control_service.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace vextest {

inline const char16_t* const kUserSid = u"S-1-5-21-1-2-3-1001";
inline const char16_t* const kRedirectRoot = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample\\Sandbox\\Reg";
inline const char16_t* const kRedirectUserClasses = u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\Sample\\Sandbox";
inline const char16_t* const kRedirectMachineClasses = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Sample\\Sandbox";

// A pool copy of text in a field of the global record, for tests that set one name directly; with
// terminated the buffer holds a NUL after the text.
inline void SetOwnedName(UNICODE_STRING& field, const std::u16string& text, bool terminated)
{
    FreeOwnedString(&field);
    size_t bytes = text.size() * sizeof(WCHAR);
    field.Buffer = (PWSTR)ExAllocatePoolZero(g_NonPagedPoolType, bytes + (terminated ? sizeof(WCHAR) : 0), g_VexRegFilterData.Tag);
    if (field.Buffer == nullptr) {
        std::abort();
    }
    memcpy(field.Buffer, text.data(), bytes);
    field.Length = (USHORT)bytes;
    field.MaximumLength = (USHORT)(bytes + (terminated ? sizeof(WCHAR) : 0));
}

inline void ConfigureRedirectNames(const std::u16string& root = kRedirectRoot, const std::u16string& userClasses = kRedirectUserClasses,
                                   const std::u16string& machineClasses = kRedirectMachineClasses)
{
    ControlService service;
    if (service.SendText(IOCTL_SANDBOX_SET_REDIRECT_KEY_NAME, root) != STATUS_SUCCESS ||
        service.SendText(IOCTL_SANDBOX_SET_REDIRECT_USER_CLASSES_KEY_NAME, userClasses) != STATUS_SUCCESS ||
        service.SendText(IOCTL_SANDBOX_SET_REDIRECT_MACHINE_CLASSES_KEY_NAME, machineClasses) != STATUS_SUCCESS) {
        std::abort();
    }
}

}  // namespace vextest
