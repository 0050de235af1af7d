// The byte formats of SIDs, ACLs and security descriptors, read and written with bounds checks.
// Internal to the security component: the Rtl routines and the host interface both work on the
// parts a descriptor is made of, so each layout rule lives here once.
//
// Every reader is given how many bytes it may read (SIZE_MAX where the caller handed a bare
// pointer, as Windows does) and never reads further; multi-byte fields are copied, never read
// through cast pointers, so unaligned input is harmless.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <vector>

namespace vexsim::se {

using Bytes = std::vector<UCHAR>;

constexpr size_t kUnbounded = SIZE_MAX;
constexpr ULONG kSidHeaderLength = 8;           // revision, count, authority
constexpr ULONG kAceBodyOffset = 8;             // the SID of an allowed, denied or audit entry

// The parts of a descriptor. An empty ACL with its PRESENT bit set is a NULL ACL (a real ACL is
// never shorter than its 8-byte header).
struct DescriptorParts {
    USHORT control = 0;  // SE_* bits without SE_SELF_RELATIVE
    Bytes owner;         // SID; empty when absent
    Bytes group;         // SID; empty when absent
    Bytes sacl;          // ACL
    Bytes dacl;          // ACL
};

template <typename T>
T Load(const void* at)
{
    T value;
    __builtin_memcpy(&value, at, sizeof(T));
    return value;
}

template <typename T>
void Store(void* at, T value)
{
    __builtin_memcpy(at, &value, sizeof(T));
}

// The length of a well-formed SID within `limit` bytes, or 0.
ULONG ValidSidLength(const void* sid, size_t limit);

// Is the ACL well formed: a known revision, a size within `limit`, and every entry inside it
// (entries of the allowed, denied and audit types carrying a valid SID)?
bool IsValidAcl(const void* acl, size_t limit);

// Does the entry carry a SID (allowed, denied, audit, alarm, label), and where is it?
bool AceHasSid(const void* ace);

// Reads a descriptor in either form; STATUS_UNKNOWN_REVISION for a revision other than 1,
// STATUS_INVALID_SECURITY_DESCR for anything malformed.
[[nodiscard]] NTSTATUS ReadDescriptor(const void* descriptor, size_t limit, DescriptorParts* parts);

// The self-relative form: header, then SACL, DACL, owner and group, each at a 4-byte boundary.
ULONG SelfRelativeLength(const DescriptorParts& parts);
void WriteSelfRelative(const DescriptorParts& parts, void* buffer);
Bytes ToSelfRelative(const DescriptorParts& parts);

// A new ACL holding the given entries (each a complete ACE), revision ACL_REVISION.
Bytes BuildAcl(const std::vector<Bytes>& entries);

// A complete allowed / denied / audit entry.
Bytes BuildAce(UCHAR type, UCHAR flags, ACCESS_MASK mask, const Bytes& sid);

// The entries of a well-formed ACL, each copied whole.
std::vector<Bytes> AclEntries(const Bytes& acl);

}  // namespace vexsim::se
