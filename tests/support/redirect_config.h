// Configures the redirect names of g_VexRegFilterData the way the control requests that set them
// do: the root with its pattern and its USER and MACHINE names, the user-classes root with the SID
// cut out of it and the Classes prefixes built from that SID, the machine-classes root, and each
// root added to the exclusion keys. Everything is freed by the driver's unload. A configuration
// that cannot be built ends the program: nothing measured or tested without it means anything.
#pragma once

#include "common/name_buffer.h"
#include "driver/global.h"
#include "names/names.h"
#include "tables/key_lists.h"
#include "tests/support/wide.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace vextest {

inline const char16_t* const kUserSid = u"S-1-5-21-1-2-3-1001";
inline const char16_t* const kRedirectRoot = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Sample\\Sandbox\\Reg";
inline const char16_t* const kRedirectUserClasses = u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\Sample\\Sandbox";
inline const char16_t* const kRedirectMachineClasses = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\Sample\\Sandbox";

// A pool copy of text; with terminated the buffer holds a NUL after the text.
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
    PVEX_REG_FILTER_DATA data = &g_VexRegFilterData;

    SetOwnedName(data->RedirectRootKeyName, root, true);
    (void)InsertExcludeKey(&data->RedirectRootKeyName);
    if (CreateRedirectRootKeyPattern(&data->RedirectRootKeyName, &data->RedirectRootKeyPattern) != STATUS_SUCCESS) {
        std::abort();
    }
    SetOwnedName(data->RedirectRootKeyNameUser, root + u"\\USER", true);
    SetOwnedName(data->RedirectRootKeyNameMachine, root + u"\\MACHINE", true);

    SetOwnedName(data->RedirectUserClasses, userClasses, true);
    (void)InsertExcludeKey(&data->RedirectUserClasses);
    // The SID runs from the character after "\REGISTRY\USER\" to the next separator or the end.
    std::u16string sid = userClasses.size() > 15 ? userClasses.substr(15) : std::u16string();
    sid = sid.substr(0, sid.find(u'\\'));
    SetOwnedName(data->UserSid, sid, false);
    (void)CreateRelatedKeyName(&data->UserSid);

    SetOwnedName(data->RedirectMachineClasses, machineClasses, true);
    (void)InsertExcludeKey(&data->RedirectMachineClasses);
}

}  // namespace vextest
