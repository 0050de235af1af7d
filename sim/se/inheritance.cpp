// The descriptor a new key gets: the hive roots' default, and inheritance from the parent.
//
// Inheritance follows the rules of the classic (non-auto-inheriting) assignment: an explicit
// descriptor's DACL and SACL are taken as given; a part the explicit descriptor leaves out comes
// from the parent's inheritable entries, marked INHERITED_ACE. What is not modelled: CREATOR
// OWNER / CREATOR GROUP substitution, the owner-assignability and SeSecurityPrivilege checks on an
// explicit owner or SACL (the caller checks access to the parent), and mandatory labels.
#include "sim/se/descriptor_format.h"
#include "sim/se/security.h"

namespace vexsim {

namespace {

using se::Bytes;

Bytes Sid(const char* text)
{
    SidBytes sid;
    bool parsed = SidFromString(text, &sid);
    (void)parsed;  // the well-known SIDs used here always parse
    return sid;
}

// The entry as the child inherits it, or an empty vector when it does not pass to the child.
Bytes InheritedEntry(const Bytes& entry, bool isContainer)
{
    UCHAR flags = entry[offsetof(ACE_HEADER, AceFlags)];
    UCHAR inherited;
    if (isContainer && (flags & CONTAINER_INHERIT_ACE) != 0) {
        // Applies to the child and, unless NO_PROPAGATE, passes on to its children too.
        inherited = static_cast<UCHAR>((flags & ~INHERIT_ONLY_ACE) | INHERITED_ACE);
        if ((flags & NO_PROPAGATE_INHERIT_ACE) != 0) {
            inherited &= static_cast<UCHAR>(~(OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE));
        }
    } else if (isContainer && (flags & OBJECT_INHERIT_ACE) != 0) {
        // Meant for leaf objects below: the container only carries it on, inherit-only.
        if ((flags & NO_PROPAGATE_INHERIT_ACE) != 0) {
            return {};
        }
        inherited = static_cast<UCHAR>(flags | INHERIT_ONLY_ACE | INHERITED_ACE);
    } else if (!isContainer && (flags & OBJECT_INHERIT_ACE) != 0) {
        inherited = static_cast<UCHAR>((flags & ~VALID_INHERIT_FLAGS) | INHERITED_ACE);
    } else {
        return {};
    }
    Bytes copy = entry;
    copy[offsetof(ACE_HEADER, AceFlags)] = inherited;
    return copy;
}

std::vector<Bytes> InheritedEntries(const Bytes& parentAcl, bool isContainer)
{
    std::vector<Bytes> entries;
    for (const Bytes& entry : se::AclEntries(parentAcl)) {
        Bytes child = InheritedEntry(entry, isContainer);
        if (!child.empty()) {
            entries.push_back(std::move(child));
        }
    }
    return entries;
}

// What a token's default DACL gives when nothing is inherited: full control to SYSTEM and to the
// creator (Administrators for an administrator, as an elevated token's default DACL does).
Bytes DefaultDacl(const Token& creator)
{
    SidBytes creatorSid;
    if (creator.administrator || !SidFromString(creator.user, &creatorSid)) {
        creatorSid = Sid(kSidAdministrators);
    }
    return se::BuildAcl({se::BuildAce(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, Sid(kSidLocalSystem)),
                         se::BuildAce(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, creatorSid)});
}

}  // namespace

SecurityDescriptorBytes DefaultKeySecurity()
{
    constexpr UCHAR inherit = CONTAINER_INHERIT_ACE;
    se::DescriptorParts parts;
    parts.control = SE_DACL_PRESENT;
    parts.owner = Sid(kSidAdministrators);
    parts.group = Sid(kSidLocalSystem);
    parts.dacl = se::BuildAcl({
        se::BuildAce(ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_ALL_ACCESS, Sid(kSidLocalSystem)),
        se::BuildAce(ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_ALL_ACCESS, Sid(kSidAdministrators)),
        se::BuildAce(ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_READ, Sid(kSidUsers)),
        se::BuildAce(ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_READ, Sid(kSidEveryone)),
    });
    return se::ToSelfRelative(parts);
}

SecurityDescriptorBytes UserHiveSecurity(const std::string& userSid)
{
    constexpr UCHAR inherit = CONTAINER_INHERIT_ACE;
    se::DescriptorParts parts;
    parts.control = SE_DACL_PRESENT;
    if (!SidFromString(userSid, &parts.owner)) {
        parts.owner = Sid(kSidAdministrators);
    }
    parts.group = parts.owner;
    parts.dacl = se::BuildAcl({
        se::BuildAce(ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_ALL_ACCESS, Sid(kSidLocalSystem)),
        se::BuildAce(ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_ALL_ACCESS, Sid(kSidAdministrators)),
        se::BuildAce(ACCESS_ALLOWED_ACE_TYPE, inherit, KEY_ALL_ACCESS, parts.owner),
    });
    return se::ToSelfRelative(parts);
}

NTSTATUS InheritSecurity(const SecurityDescriptorBytes& parent, PSECURITY_DESCRIPTOR explicitDescriptor,
                         const Token& creator, bool isContainer, SecurityDescriptorBytes* result)
{
    se::DescriptorParts parentParts;
    NTSTATUS status = se::ReadDescriptor(parent.data(), parent.size(), &parentParts);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    se::DescriptorParts given;
    if (explicitDescriptor != nullptr && !NT_SUCCESS(se::ReadDescriptor(explicitDescriptor, se::kUnbounded, &given))) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    se::DescriptorParts child;
    // A token's primary group is modelled as its user (as it is for SYSTEM).
    if (!given.owner.empty()) {
        child.owner = given.owner;
    } else if (!SidFromString(creator.user, &child.owner)) {
        return STATUS_INVALID_SID;
    }
    if (!given.group.empty()) {
        child.group = given.group;
    } else if (!SidFromString(creator.user, &child.group)) {
        return STATUS_INVALID_SID;
    }

    constexpr USHORT daclBits = SE_DACL_PRESENT | SE_DACL_DEFAULTED | SE_DACL_PROTECTED;
    constexpr USHORT saclBits = SE_SACL_PRESENT | SE_SACL_DEFAULTED | SE_SACL_PROTECTED;
    if ((given.control & SE_DACL_PRESENT) != 0) {
        child.control |= given.control & daclBits;
        child.dacl = given.dacl;
    } else {
        std::vector<Bytes> inherited = InheritedEntries(parentParts.dacl, isContainer);
        child.control |= SE_DACL_PRESENT;
        child.dacl = inherited.empty() ? DefaultDacl(creator) : se::BuildAcl(inherited);
    }
    if ((given.control & SE_SACL_PRESENT) != 0) {
        child.control |= given.control & saclBits;
        child.sacl = given.sacl;
    } else {
        std::vector<Bytes> inherited = InheritedEntries(parentParts.sacl, isContainer);
        if (!inherited.empty()) {
            child.control |= SE_SACL_PRESENT;
            child.sacl = se::BuildAcl(inherited);
        }
    }
    *result = se::ToSelfRelative(child);
    return STATUS_SUCCESS;
}

}  // namespace vexsim
