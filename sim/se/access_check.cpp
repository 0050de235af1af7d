// The access check: does a token get the rights it asks for under a descriptor's DACL?
//
// Windows' rules, in the order applied: generic rights are mapped to specific ones (in the
// request and in each entry); ACCESS_SYSTEM_SECURITY needs the privilege, which only an
// administrator's token holds here; the owner holds READ_CONTROL and WRITE_DAC whatever the DACL
// says; a descriptor without a DACL (no PRESENT bit, or a NULL DACL) grants everything, an empty
// DACL nothing. Entries are evaluated in their order, inherit-only ones skipped: a denied right
// met before it was granted is denied, one granted first stays granted (so canonical order, deny
// before allow, makes denials win).
#include "sim/se/descriptor_format.h"
#include "sim/se/security.h"

#include <cstring>

namespace vexsim {

static ACCESS_MASK MapGeneric(ACCESS_MASK mask, const GENERIC_MAPPING& mapping)
{
    ACCESS_MASK mapped = mask & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (mask & GENERIC_READ) mapped |= mapping.GenericRead;
    if (mask & GENERIC_WRITE) mapped |= mapping.GenericWrite;
    if (mask & GENERIC_EXECUTE) mapped |= mapping.GenericExecute;
    if (mask & GENERIC_ALL) mapped |= mapping.GenericAll;
    return mapped;
}

namespace {

// The token's SIDs in binary form; strings that do not parse match nothing.
std::vector<SidBytes> TokenSids(const Token& token)
{
    std::vector<SidBytes> sids;
    SidBytes sid;
    if (SidFromString(token.user, &sid)) {
        sids.push_back(sid);
    }
    for (const std::string& group : token.groups) {
        if (SidFromString(group, &sid)) {
            sids.push_back(sid);
        }
    }
    return sids;
}

bool HoldsSid(const std::vector<SidBytes>& sids, const UCHAR* sid, size_t length)
{
    for (const SidBytes& held : sids) {
        if (held.size() == length && std::memcmp(held.data(), sid, length) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

NTSTATUS AccessCheck(const SecurityDescriptorBytes& descriptor, const Token& token, ACCESS_MASK desiredAccess,
                     const GENERIC_MAPPING& mapping, ACCESS_MASK* grantedAccess)
{
    *grantedAccess = 0;
    se::DescriptorParts parts;
    NTSTATUS status = se::ReadDescriptor(descriptor.data(), descriptor.size(), &parts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool maximum = (desiredAccess & MAXIMUM_ALLOWED) != 0;
    ACCESS_MASK wanted = MapGeneric(desiredAccess & ~MAXIMUM_ALLOWED, mapping);
    ACCESS_MASK granted = 0;

    if ((wanted & ACCESS_SYSTEM_SECURITY) != 0) {
        if (!token.administrator) {
            return STATUS_PRIVILEGE_NOT_HELD;
        }
        granted |= ACCESS_SYSTEM_SECURITY;
    }
    std::vector<SidBytes> sids = TokenSids(token);
    if (!parts.owner.empty() && HoldsSid(sids, parts.owner.data(), parts.owner.size())) {
        granted |= READ_CONTROL | WRITE_DAC;
    }

    if (parts.dacl.empty()) {  // no DACL, or a NULL one
        granted |= wanted | (maximum ? mapping.GenericAll | STANDARD_RIGHTS_ALL : 0);
    } else {
        ACCESS_MASK denied = 0;
        for (const se::Bytes& entry : se::AclEntries(parts.dacl)) {
            UCHAR type = entry[offsetof(ACE_HEADER, AceType)];
            if ((entry[offsetof(ACE_HEADER, AceFlags)] & INHERIT_ONLY_ACE) != 0 ||
                (type != ACCESS_ALLOWED_ACE_TYPE && type != ACCESS_DENIED_ACE_TYPE) ||
                !HoldsSid(sids, entry.data() + se::kAceBodyOffset,
                          se::ValidSidLength(entry.data() + se::kAceBodyOffset, entry.size() - se::kAceBodyOffset))) {
                continue;
            }
            ACCESS_MASK mask = MapGeneric(se::Load<ACCESS_MASK>(entry.data() + offsetof(ACCESS_ALLOWED_ACE, Mask)), mapping);
            if (type == ACCESS_ALLOWED_ACE_TYPE) {
                granted |= mask & ~denied;
            } else {
                denied |= mask & ~granted;
            }
        }
    }

    if ((wanted & ~granted) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    // Asking for nothing but MAXIMUM_ALLOWED and getting nothing is a denial. Asking for no
    // rights at all is not refused here: whether an object opens with an empty mask is its type's
    // rule (keys refuse it, see key_access.cpp).
    if (maximum && granted == 0) {
        return STATUS_ACCESS_DENIED;
    }
    *grantedAccess = maximum ? granted : wanted;
    return STATUS_SUCCESS;
}

}  // namespace vexsim

// Generic rights become the mapping's specific ones; every other bit, MAXIMUM_ALLOWED included,
// stays as it is.
extern "C" VOID NTAPI RtlMapGenericMask(PACCESS_MASK AccessMask, PGENERIC_MAPPING GenericMapping)
{
    *AccessMask = vexsim::MapGeneric(*AccessMask, *GenericMapping);
}
