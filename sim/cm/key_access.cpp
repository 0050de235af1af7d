// Access to keys: who is checked against a key's DACL and what a trusted caller is granted.
#include "sim/cm/registry.h"

#include "sim/ob/object.h"

namespace vexsim {

// Kernel callers are trusted unless they ask for the check with OBJ_FORCE_ACCESS_CHECK, as the
// object manager does for every object type.
bool MustCheckAccess(KPROCESSOR_MODE mode, ULONG attributes)
{
    return mode == UserMode || (attributes & OBJ_FORCE_ACCESS_CHECK) != 0;
}

// A checked caller that asks for no right at all (the view flags are none) is refused with
// STATUS_ACCESS_DENIED, as Windows answers a user-mode create or open with a zero mask; a trusted
// kernel caller gets a handle with no rights.
NTSTATUS GrantKeyAccess(const SecurityDescriptorBytes& security, ACCESS_MASK desired, bool check, ACCESS_MASK* granted)
{
    *granted = 0;
    // The view flags choose a registry view; they are no rights and never reach a handle.
    desired &= ~static_cast<ACCESS_MASK>(KEY_WOW64_RES);
    if (check && desired == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (!check) {
        *granted = MapAccess(KeyObjectType(), desired);
        return STATUS_SUCCESS;
    }
    return AccessCheck(security, TokenOf(CurrentContext().process), desired, KeyGenericMapping(), granted);
}

// The creator of a key is granted what it asks for whatever the new key's DACL says, as on
// Windows; only the privilege ACCESS_SYSTEM_SECURITY needs is still checked for a checked caller.
NTSTATUS GrantCreatorAccess(ACCESS_MASK desired, bool check, ACCESS_MASK* granted)
{
    *granted = 0;
    if (check && (desired & ~static_cast<ACCESS_MASK>(KEY_WOW64_RES)) == 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (check && (desired & ACCESS_SYSTEM_SECURITY) != 0 && !TokenOf(CurrentContext().process).administrator) {
        return STATUS_PRIVILEGE_NOT_HELD;
    }
    return GrantKeyAccess({}, desired, false, granted);
}

}  // namespace vexsim
