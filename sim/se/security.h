// Security of the simulated kernel's objects: self-relative security descriptors, tokens,
// inheritance on create, and the access check. Host API for the object-owning components (the
// configuration manager first); drivers reach the same model through the Rtl security routines
// and ZwQuerySecurityObject / ZwSetSecurityObject.
//
// The component holds no state and takes no locks: a descriptor belongs to the object that
// carries it (a key), which serialises changes to it; every routine here works on the bytes it is
// handed. Tokens are computed from the process on each call.
#pragma once

#include "platform/platform.h"

#include <string>
#include <vector>

namespace vexsim {

// A security descriptor in self-relative form, exactly the bytes Windows would hand out.
using SecurityDescriptorBytes = std::vector<UCHAR>;

// Well-known SIDs the simulated machine's tokens and default descriptors use.
inline constexpr const char* kSidEveryone = "S-1-1-0";
inline constexpr const char* kSidAuthenticatedUsers = "S-1-5-11";
inline constexpr const char* kSidLocalSystem = "S-1-5-18";
inline constexpr const char* kSidAdministrators = "S-1-5-32-544";
inline constexpr const char* kSidUsers = "S-1-5-32-545";

// A SID in binary form (the SID structure with its sub-authorities).
using SidBytes = std::vector<UCHAR>;

// "S-1-5-32-544" <-> binary. The authority is decimal, or hexadecimal with 0x when it does not
// fit 32 bits (as RtlConvertSidToUnicodeString writes it); at most 15 sub-authorities.
[[nodiscard]] bool SidFromString(const std::string& text, SidBytes* sid);
std::string SidToString(PSID sid);  // the SID must be valid

// Who a thread acts as: the user and the groups of its process's token, as SID strings.
struct Token {
    std::string user;                 // e.g. "S-1-5-21-1-2-3-1001"
    std::vector<std::string> groups;  // e.g. "S-1-1-0" (Everyone), "S-1-5-32-545" (Users)
    bool administrator = false;       // holds S-1-5-32-544 enabled
};

// The token of a process: its userSid with Everyone and Authenticated Users, plus Users for an
// ordinary process or Administrators for an administrator's (ProcessParams::administrator) and for
// any process running as S-1-5-18, the System process among them.
Token TokenOf(PEPROCESS process);

// The descriptor a new key gets: the inheritable entries of its parent's DACL, or the explicit
// descriptor when one is given (a relative or absolute SECURITY_DESCRIPTOR the caller passed).
// A malformed explicit descriptor gives STATUS_INVALID_SECURITY_DESCR.
[[nodiscard]] NTSTATUS InheritSecurity(const SecurityDescriptorBytes& parent, PSECURITY_DESCRIPTOR explicitDescriptor,
                                       const Token& creator, bool isContainer, SecurityDescriptorBytes* result);

// The descriptor of a hive's root keys: SYSTEM and Administrators full control, Users read,
// inheritable by subkeys.
SecurityDescriptorBytes DefaultKeySecurity();

// The descriptor of a hive a user owns: the user's profile and Classes hives, and an application
// hive its loader owns. SYSTEM, Administrators and the user get full control, inherited by
// subkeys; the user is the owner.
SecurityDescriptorBytes UserHiveSecurity(const std::string& userSid);

// Checks DesiredAccess (generic rights mapped through Mapping, MAXIMUM_ALLOWED honoured) against
// the descriptor's DACL for Token. Returns STATUS_SUCCESS with the granted access, or
// STATUS_ACCESS_DENIED; STATUS_PRIVILEGE_NOT_HELD when ACCESS_SYSTEM_SECURITY is asked for by a
// token that is not an administrator's. A descriptor without a DACL grants everything.
[[nodiscard]] NTSTATUS AccessCheck(const SecurityDescriptorBytes& descriptor, const Token& token, ACCESS_MASK desiredAccess,
                                   const GENERIC_MAPPING& mapping, ACCESS_MASK* grantedAccess);

// ZwQuerySecurityObject's answer for the parts SecurityInformation asks for: the self-relative
// descriptor in Buffer, or STATUS_BUFFER_TOO_SMALL with the length needed in *LengthNeeded.
[[nodiscard]] NTSTATUS QuerySecurity(const SecurityDescriptorBytes& descriptor, SECURITY_INFORMATION securityInformation,
                                     PVOID buffer, ULONG length, PULONG lengthNeeded);

// ZwSetSecurityObject: replaces the parts SecurityInformation names with those of NewDescriptor.
[[nodiscard]] NTSTATUS SetSecurity(SecurityDescriptorBytes& descriptor, SECURITY_INFORMATION securityInformation,
                                   PSECURITY_DESCRIPTOR newDescriptor);

}  // namespace vexsim
