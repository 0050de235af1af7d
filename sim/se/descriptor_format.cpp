#include "sim/se/descriptor_format.h"

#include <cstring>

namespace vexsim::se {

namespace {

constexpr ULONG Align4(size_t length) { return static_cast<ULONG>((length + 3) & ~size_t{3}); }

// Copies the SID at `offset` of a self-relative descriptor (0 = none) into `out`.
bool ReadRelativeSid(const UCHAR* base, size_t limit, ULONG offset, Bytes* out)
{
    if (offset == 0) {
        return true;
    }
    if (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || offset >= limit) {
        return false;
    }
    ULONG length = ValidSidLength(base + offset, limit - offset);
    if (length == 0) {
        return false;
    }
    out->assign(base + offset, base + offset + length);
    return true;
}

bool ReadRelativeAcl(const UCHAR* base, size_t limit, ULONG offset, Bytes* out)
{
    if (offset == 0) {
        return true;
    }
    if (offset < sizeof(SECURITY_DESCRIPTOR_RELATIVE) || offset >= limit ||
        !IsValidAcl(base + offset, limit - offset)) {
        return false;
    }
    out->assign(base + offset, base + offset + Load<USHORT>(base + offset + offsetof(ACL, AclSize)));
    return true;
}

bool ReadAbsoluteSid(const void* sid, Bytes* out)
{
    if (sid == nullptr) {
        return true;
    }
    ULONG length = ValidSidLength(sid, kUnbounded);
    if (length == 0) {
        return false;
    }
    auto* bytes = static_cast<const UCHAR*>(sid);
    out->assign(bytes, bytes + length);
    return true;
}

bool ReadAbsoluteAcl(const void* acl, Bytes* out)
{
    if (acl == nullptr) {
        return true;
    }
    if (!IsValidAcl(acl, kUnbounded)) {
        return false;
    }
    auto* bytes = static_cast<const UCHAR*>(acl);
    out->assign(bytes, bytes + Load<USHORT>(bytes + offsetof(ACL, AclSize)));
    return true;
}

// An ACL part is only meaningful with its PRESENT bit; without it the pointer or offset is
// ignored, as Windows ignores it.
void DropAbsentAcls(DescriptorParts* parts)
{
    if ((parts->control & SE_DACL_PRESENT) == 0) {
        parts->dacl.clear();
    }
    if ((parts->control & SE_SACL_PRESENT) == 0) {
        parts->sacl.clear();
    }
}

}  // namespace

ULONG ValidSidLength(const void* sid, size_t limit)
{
    if (sid == nullptr || limit < kSidHeaderLength) {
        return 0;
    }
    auto* bytes = static_cast<const UCHAR*>(sid);
    UCHAR count = bytes[offsetof(SID, SubAuthorityCount)];
    ULONG length = kSidHeaderLength + count * sizeof(ULONG);
    if (bytes[offsetof(SID, Revision)] != SID_REVISION || count > SID_MAX_SUB_AUTHORITIES || length > limit) {
        return 0;
    }
    return length;
}

bool AceHasSid(const void* ace)
{
    switch (static_cast<const UCHAR*>(ace)[offsetof(ACE_HEADER, AceType)]) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
        return true;
    default:
        return false;  // object and callback entries: their layouts are not modelled
    }
}

bool IsValidAcl(const void* acl, size_t limit)
{
    if (acl == nullptr || limit < sizeof(ACL)) {
        return false;
    }
    auto* bytes = static_cast<const UCHAR*>(acl);
    UCHAR revision = bytes[offsetof(ACL, AclRevision)];
    USHORT size = Load<USHORT>(bytes + offsetof(ACL, AclSize));
    USHORT count = Load<USHORT>(bytes + offsetof(ACL, AceCount));
    if (revision < MIN_ACL_REVISION || revision > MAX_ACL_REVISION || size < sizeof(ACL) || size > limit) {
        return false;
    }
    size_t at = sizeof(ACL);
    for (USHORT i = 0; i < count; i++) {
        if (at + sizeof(ACE_HEADER) > size) {
            return false;
        }
        USHORT aceSize = Load<USHORT>(bytes + at + offsetof(ACE_HEADER, AceSize));
        // Entries are whole ULONGs: every entry type's length is a multiple of 4, so any other
        // length means the list is corrupt.
        if (aceSize < sizeof(ACE_HEADER) || aceSize % sizeof(ULONG) != 0 || at + aceSize > size) {
            return false;
        }
        if (AceHasSid(bytes + at) &&
            (aceSize < kAceBodyOffset || ValidSidLength(bytes + at + kAceBodyOffset, aceSize - kAceBodyOffset) == 0)) {
            return false;
        }
        at += aceSize;
    }
    return true;
}

NTSTATUS ReadDescriptor(const void* descriptor, size_t limit, DescriptorParts* parts)
{
    *parts = DescriptorParts{};
    if (descriptor == nullptr || limit < sizeof(SECURITY_DESCRIPTOR_RELATIVE)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    auto* base = static_cast<const UCHAR*>(descriptor);
    if (base[offsetof(SECURITY_DESCRIPTOR, Revision)] != SECURITY_DESCRIPTOR_REVISION) {
        return STATUS_UNKNOWN_REVISION;
    }
    USHORT control = Load<USHORT>(base + offsetof(SECURITY_DESCRIPTOR, Control));
    parts->control = static_cast<USHORT>(control & ~SE_SELF_RELATIVE);
    bool ok;
    if ((control & SE_SELF_RELATIVE) != 0) {
        auto field = [&](size_t offset) { return Load<ULONG>(base + offset); };
        ok = ReadRelativeSid(base, limit, field(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner)), &parts->owner) &&
             ReadRelativeSid(base, limit, field(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group)), &parts->group) &&
             ((control & SE_SACL_PRESENT) == 0 ||
              ReadRelativeAcl(base, limit, field(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl)), &parts->sacl)) &&
             ((control & SE_DACL_PRESENT) == 0 ||
              ReadRelativeAcl(base, limit, field(offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl)), &parts->dacl));
    } else {
        if (limit < sizeof(SECURITY_DESCRIPTOR)) {
            return STATUS_INVALID_SECURITY_DESCR;
        }
        auto pointer = [&](size_t offset) { return Load<const void*>(base + offset); };
        ok = ReadAbsoluteSid(pointer(offsetof(SECURITY_DESCRIPTOR, Owner)), &parts->owner) &&
             ReadAbsoluteSid(pointer(offsetof(SECURITY_DESCRIPTOR, Group)), &parts->group) &&
             ((control & SE_SACL_PRESENT) == 0 ||
              ReadAbsoluteAcl(pointer(offsetof(SECURITY_DESCRIPTOR, Sacl)), &parts->sacl)) &&
             ((control & SE_DACL_PRESENT) == 0 ||
              ReadAbsoluteAcl(pointer(offsetof(SECURITY_DESCRIPTOR, Dacl)), &parts->dacl));
    }
    DropAbsentAcls(parts);
    return ok ? STATUS_SUCCESS : STATUS_INVALID_SECURITY_DESCR;
}

ULONG SelfRelativeLength(const DescriptorParts& parts)
{
    return sizeof(SECURITY_DESCRIPTOR_RELATIVE) + Align4(parts.sacl.size()) + Align4(parts.dacl.size()) +
           Align4(parts.owner.size()) + Align4(parts.group.size());
}

void WriteSelfRelative(const DescriptorParts& parts, void* buffer)
{
    auto* base = static_cast<UCHAR*>(buffer);
    std::memset(base, 0, SelfRelativeLength(parts));
    base[offsetof(SECURITY_DESCRIPTOR_RELATIVE, Revision)] = SECURITY_DESCRIPTOR_REVISION;
    Store<USHORT>(base + offsetof(SECURITY_DESCRIPTOR_RELATIVE, Control),
                  static_cast<USHORT>(parts.control | SE_SELF_RELATIVE));
    // The order of the parts is free (readers go by the offsets); this one is the order in which
    // Windows lays out the descriptors it hands out.
    ULONG at = sizeof(SECURITY_DESCRIPTOR_RELATIVE);
    auto place = [&](const Bytes& part, size_t field) {
        if (part.empty()) {
            return;
        }
        std::memcpy(base + at, part.data(), part.size());
        Store<ULONG>(base + field, at);
        at += Align4(part.size());
    };
    place(parts.sacl, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl));
    place(parts.dacl, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl));
    place(parts.owner, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner));
    place(parts.group, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group));
}

Bytes ToSelfRelative(const DescriptorParts& parts)
{
    Bytes bytes(SelfRelativeLength(parts));
    WriteSelfRelative(parts, bytes.data());
    return bytes;
}

Bytes BuildAce(UCHAR type, UCHAR flags, ACCESS_MASK mask, const Bytes& sid)
{
    Bytes ace(kAceBodyOffset + sid.size());
    ace[offsetof(ACE_HEADER, AceType)] = type;
    ace[offsetof(ACE_HEADER, AceFlags)] = flags;
    Store<USHORT>(ace.data() + offsetof(ACE_HEADER, AceSize), static_cast<USHORT>(ace.size()));
    Store<ACCESS_MASK>(ace.data() + offsetof(ACCESS_ALLOWED_ACE, Mask), mask);
    std::memcpy(ace.data() + kAceBodyOffset, sid.data(), sid.size());
    return ace;
}

Bytes BuildAcl(const std::vector<Bytes>& entries)
{
    Bytes acl(sizeof(ACL));
    for (const Bytes& entry : entries) {
        acl.insert(acl.end(), entry.begin(), entry.end());
    }
    acl[offsetof(ACL, AclRevision)] = ACL_REVISION;
    Store<USHORT>(acl.data() + offsetof(ACL, AclSize), static_cast<USHORT>(acl.size()));
    Store<USHORT>(acl.data() + offsetof(ACL, AceCount), static_cast<USHORT>(entries.size()));
    return acl;
}

std::vector<Bytes> AclEntries(const Bytes& acl)
{
    std::vector<Bytes> entries;
    if (acl.size() < sizeof(ACL)) {
        return entries;
    }
    USHORT count = Load<USHORT>(acl.data() + offsetof(ACL, AceCount));
    size_t at = sizeof(ACL);
    for (USHORT i = 0; i < count; i++) {
        USHORT size = Load<USHORT>(acl.data() + at + offsetof(ACE_HEADER, AceSize));
        entries.emplace_back(acl.begin() + at, acl.begin() + at + size);
        at += size;
    }
    return entries;
}

}  // namespace vexsim::se
