// Security: the Rtl SID/ACL/descriptor routines, SID strings, tokens, inheritance, the access
// check, and querying and replacing descriptor parts.
#include "sim/ps/process.h"
#include "sim/se/security.h"
#include "sim_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace vexsim::test {
namespace {

using Bytes = std::vector<UCHAR>;

constexpr const char* kUser = "S-1-5-21-1-2-3-1001";
constexpr const char* kOtherUser = "S-1-5-21-1-2-3-1002";
constexpr GENERIC_MAPPING kKeyMapping = {KEY_READ, KEY_WRITE, KEY_EXECUTE, KEY_ALL_ACCESS};

Bytes Sid(const char* text)
{
    SidBytes sid;
    EXPECT_TRUE(SidFromString(text, &sid)) << text;
    return sid;
}

// An entry built by hand, independently of the code under test.
Bytes Ace(UCHAR type, UCHAR flags, ACCESS_MASK mask, const char* sid)
{
    Bytes sidBytes = Sid(sid);
    Bytes ace(8 + sidBytes.size());
    ace[0] = type;
    ace[1] = flags;
    ace[2] = static_cast<UCHAR>(ace.size());
    std::memcpy(&ace[4], &mask, sizeof(mask));
    std::memcpy(&ace[8], sidBytes.data(), sidBytes.size());
    return ace;
}

Bytes Acl(const std::vector<Bytes>& entries)
{
    Bytes acl(sizeof(ACL));
    for (const Bytes& entry : entries) {
        acl.insert(acl.end(), entry.begin(), entry.end());
    }
    acl[0] = ACL_REVISION;
    acl[2] = static_cast<UCHAR>(acl.size());
    acl[3] = static_cast<UCHAR>(acl.size() >> 8);
    acl[4] = static_cast<UCHAR>(entries.size());
    return acl;
}

// An absolute descriptor over buffers it owns, made with the driver-facing routines.
struct Absolute {
    SECURITY_DESCRIPTOR sd{};
    Bytes owner, group, dacl;

    Absolute(const char* ownerSid, bool daclPresent, const std::vector<Bytes>* entries = nullptr)
    {
        EXPECT_EQ(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
        if (ownerSid != nullptr) {
            owner = Sid(ownerSid);
            EXPECT_EQ(STATUS_SUCCESS, RtlSetOwnerSecurityDescriptor(&sd, owner.data(), FALSE));
        }
        if (entries != nullptr) {
            dacl = Acl(*entries);
        }
        EXPECT_EQ(STATUS_SUCCESS,
                  RtlSetDaclSecurityDescriptor(&sd, daclPresent, dacl.empty() ? nullptr : (PACL)dacl.data(), FALSE));
    }

    SecurityDescriptorBytes SelfRelative()
    {
        ULONG length = 0;
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAbsoluteToSelfRelativeSD(&sd, nullptr, &length));
        SecurityDescriptorBytes bytes(length);
        EXPECT_EQ(STATUS_SUCCESS, RtlAbsoluteToSelfRelativeSD(&sd, bytes.data(), &length));
        return bytes;
    }
};

ULONG Field(const Bytes& bytes, size_t offset)
{
    ULONG value;
    std::memcpy(&value, &bytes[offset], sizeof(value));
    return value;
}

// The entries of a self-relative descriptor's DACL as (flags, SID string) pairs.
std::vector<std::pair<int, std::string>> DaclEntries(SecurityDescriptorBytes& descriptor)
{
    BOOLEAN present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    EXPECT_EQ(STATUS_SUCCESS, RtlGetDaclSecurityDescriptor(descriptor.data(), &present, &dacl, &defaulted));
    std::vector<std::pair<int, std::string>> entries;
    for (ULONG i = 0; dacl != nullptr && i < dacl->AceCount; i++) {
        PVOID ace = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, RtlGetAce(dacl, i, &ace));
        auto* allowed = static_cast<PACCESS_ALLOWED_ACE>(ace);
        entries.emplace_back(allowed->Header.AceFlags, SidToString(&allowed->SidStart));
    }
    return entries;
}

TEST(SecuritySidTest, StringsConvertBothWaysAndMalformedOnesAreRefused)
{
    for (const char* text : {"S-1-1-0", "S-1-5-32-544", "S-1-5-21-1004336348-1177238915-682003330-1001",
                             "S-1-0x28651FE848-12-72-9-110", "S-1-5"}) {
        SidBytes sid;
        ASSERT_TRUE(SidFromString(text, &sid)) << text;
        EXPECT_TRUE(RtlValidSid(sid.data())) << text;
        EXPECT_EQ(sid.size(), RtlLengthSid(sid.data())) << text;
        EXPECT_EQ(text, SidToString(sid.data()));
    }
    const char* malformed[] = {
        "", "S-1", "S-2-5-32", "X-1-5-32", "S-1-5-", "S-1-5-x", "S-1--5",
        "S-1-5-4294967296",                               // sub-authority past 32 bits
        "S-1-281474976710656",                            // authority past 48 bits
        "S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15-16",  // 16 sub-authorities
    };
    for (const char* text : malformed) {
        SidBytes sid;
        EXPECT_FALSE(SidFromString(text, &sid)) << text;
    }
}

TEST(SecuritySidTest, RtlSidRoutinesAnswerWithTheirDocumentedStatuses)
{
    Bytes admins = Sid(kSidAdministrators);
    Bytes copy(admins.size());
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlCopySid((ULONG)admins.size() - 1, copy.data(), admins.data()));
    EXPECT_EQ(STATUS_SUCCESS, RtlCopySid((ULONG)copy.size(), copy.data(), admins.data()));
    EXPECT_TRUE(RtlEqualSid(copy.data(), admins.data()));
    EXPECT_FALSE(RtlEqualSid(Sid(kSidUsers).data(), admins.data()));

    WCHAR buffer[13];
    UNICODE_STRING text{0, sizeof(buffer), buffer};
    EXPECT_EQ(STATUS_SUCCESS, RtlConvertSidToUnicodeString(&text, admins.data(), FALSE));
    EXPECT_EQ(u"S-1-5-32-544", Text(text));  // 12 units and the NUL: exactly full
    text.MaximumLength = sizeof(buffer) - sizeof(WCHAR);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, RtlConvertSidToUnicodeString(&text, admins.data(), FALSE));
    admins[0] = 2;  // unknown SID revision
    EXPECT_FALSE(RtlValidSid(admins.data()));
    EXPECT_EQ(STATUS_INVALID_SID, RtlConvertSidToUnicodeString(&text, admins.data(), FALSE));
}

TEST(SecurityAclTest, RoutinesAnswerWithTheirDocumentedStatuses)
{
    Bytes everyone = Sid(kSidEveryone);  // 12 bytes: an allowed entry is 20
    alignas(4) UCHAR buffer[64] = {};
    auto acl = reinterpret_cast<PACL>(buffer);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlCreateAcl(acl, sizeof(ACL) - 1, ACL_REVISION));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlCreateAcl(acl, sizeof(buffer), 1));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlCreateAcl(acl, 0x10000, ACL_REVISION));

    ASSERT_EQ(STATUS_SUCCESS, RtlCreateAcl(acl, sizeof(ACL) + 20 + 19, ACL_REVISION));
    EXPECT_EQ(STATUS_REVISION_MISMATCH, RtlAddAccessAllowedAce(acl, 9, KEY_READ, everyone.data()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlAddAccessAllowedAceEx(acl, ACL_REVISION, FAILED_ACCESS_ACE_FLAG, KEY_READ, everyone.data()));
    EXPECT_EQ(STATUS_SUCCESS, RtlAddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone.data()));
    EXPECT_EQ(STATUS_ALLOTTED_SPACE_EXCEEDED, RtlAddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone.data()))
        << "one byte short of a second entry";
    EXPECT_EQ(1, acl->AceCount);
    acl->AclSize++;
    EXPECT_EQ(STATUS_SUCCESS, RtlAddAccessAllowedAceEx(acl, ACL_REVISION, CONTAINER_INHERIT_ACE, KEY_WRITE, everyone.data()))
        << "exact fit";

    PVOID ace = nullptr;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlGetAce(acl, 2, &ace));
    ASSERT_EQ(STATUS_SUCCESS, RtlGetAce(acl, 1, &ace));
    EXPECT_EQ(buffer + sizeof(ACL) + 20, ace);
    EXPECT_EQ(CONTAINER_INHERIT_ACE, static_cast<PACE_HEADER>(ace)->AceFlags);
    EXPECT_EQ((ACCESS_MASK)KEY_WRITE, static_cast<PACCESS_ALLOWED_ACE>(ace)->Mask);

    Bytes bad = everyone;
    bad[1] = 16;  // sub-authority count past 15
    EXPECT_EQ(STATUS_INVALID_SID, RtlAddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, bad.data()));
    acl->AclRevision = 9;
    EXPECT_EQ(STATUS_INVALID_ACL, RtlAddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone.data()));
}

TEST(SecurityAclTest, AddAceInsertsAtTheIndexAndRefusesWhatDoesNotFit)
{
    alignas(4) UCHAR buffer[sizeof(ACL) + 40] = {};
    auto acl = reinterpret_cast<PACL>(buffer);
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateAcl(acl, sizeof(buffer), ACL_REVISION));
    Bytes allow = Ace(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, kSidEveryone);
    Bytes deny = Ace(ACCESS_DENIED_ACE_TYPE, 0, KEY_WRITE, kSidEveryone);
    ASSERT_EQ(STATUS_SUCCESS, RtlAddAce(acl, ACL_REVISION, MAXULONG, allow.data(), (ULONG)allow.size()));
    ASSERT_EQ(STATUS_SUCCESS, RtlAddAce(acl, ACL_REVISION, 0, deny.data(), (ULONG)deny.size()));
    PVOID first = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetAce(acl, 0, &first));
    EXPECT_EQ(ACCESS_DENIED_ACE_TYPE, static_cast<PACE_HEADER>(first)->AceType);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAddAce(acl, ACL_REVISION, MAXULONG, allow.data(), (ULONG)allow.size()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, RtlAddAce(acl, ACL_REVISION, 0, allow.data(), (ULONG)allow.size() - 1))
        << "a list that the entries do not fill exactly";
    EXPECT_EQ(2, acl->AceCount);
}

TEST(SecurityDescriptorTest, RoutinesRefuseWrongRevisionsAndForms)
{
    SECURITY_DESCRIPTOR sd;
    EXPECT_EQ(STATUS_UNKNOWN_REVISION, RtlCreateSecurityDescriptor(&sd, 2));
    ASSERT_EQ(STATUS_SUCCESS, RtlCreateSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(RtlValidSecurityDescriptor(&sd));
    EXPECT_EQ(sizeof(SECURITY_DESCRIPTOR_RELATIVE), RtlLengthSecurityDescriptor(&sd));

    Absolute absolute(kUser, true);
    SecurityDescriptorBytes relative = absolute.SelfRelative();
    EXPECT_EQ(STATUS_INVALID_SECURITY_DESCR, RtlSetDaclSecurityDescriptor(relative.data(), TRUE, nullptr, FALSE));
    EXPECT_EQ(STATUS_INVALID_SECURITY_DESCR, RtlSetOwnerSecurityDescriptor(relative.data(), nullptr, FALSE));
    ULONG length = 1000;
    EXPECT_EQ(STATUS_BAD_DESCRIPTOR_FORMAT, RtlAbsoluteToSelfRelativeSD(relative.data(), relative.data(), &length));
    sd.Revision = 2;
    EXPECT_EQ(STATUS_UNKNOWN_REVISION, RtlSetGroupSecurityDescriptor(&sd, nullptr, FALSE));
    EXPECT_FALSE(RtlValidSecurityDescriptor(&sd));
}

TEST(SecurityDescriptorTest, AbsoluteToSelfRelativeLaysOutExactBytes)
{
    std::vector<Bytes> entries = {Ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_READ, kSidEveryone)};
    Absolute absolute(kSidAdministrators, true, &entries);
    Bytes group = Sid(kSidLocalSystem);
    ASSERT_EQ(STATUS_SUCCESS, RtlSetGroupSecurityDescriptor(&absolute.sd, group.data(), TRUE));

    // Header 20, DACL 28 (8 + 20), owner 16, group 12.
    ULONG length = 75;
    Bytes out(76, 0xCC);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, RtlAbsoluteToSelfRelativeSD(&absolute.sd, out.data(), &length));
    EXPECT_EQ(76u, length);
    EXPECT_EQ(0xCC, out[0]) << "nothing written to a short buffer";
    ASSERT_EQ(STATUS_SUCCESS, RtlAbsoluteToSelfRelativeSD(&absolute.sd, out.data(), &length));
    EXPECT_EQ((Bytes{1, 0, (UCHAR)(SE_DACL_PRESENT | SE_GROUP_DEFAULTED), 0x80}), Bytes(out.begin(), out.begin() + 4));
    EXPECT_EQ(48u, Field(out, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner)));
    EXPECT_EQ(64u, Field(out, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Group)));
    EXPECT_EQ(0u, Field(out, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Sacl)));
    EXPECT_EQ(20u, Field(out, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Dacl)));
    EXPECT_EQ(absolute.dacl, Bytes(out.begin() + 20, out.begin() + 48));
    EXPECT_EQ(absolute.owner, Bytes(out.begin() + 48, out.begin() + 64));
    EXPECT_EQ(group, Bytes(out.begin() + 64, out.end()));

    EXPECT_TRUE(RtlValidSecurityDescriptor(out.data()));
    EXPECT_EQ(76u, RtlLengthSecurityDescriptor(out.data()));
    EXPECT_EQ(76u, RtlLengthSecurityDescriptor(&absolute.sd));
    PSID owner = nullptr;
    BOOLEAN defaulted = TRUE;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetOwnerSecurityDescriptor(out.data(), &owner, &defaulted));
    EXPECT_EQ(out.data() + 48, owner);
    EXPECT_FALSE(defaulted);
    out[20] = 9;  // the DACL's revision
    EXPECT_FALSE(RtlValidSecurityDescriptor(out.data()));
}

struct InheritCase {
    const char* what;
    bool isContainer;
    UCHAR parentFlags;
    int childFlags;  // -1: not inherited
};

TEST(SecurityInheritTest, InheritableEntriesPassToTheChildWithTheirFlagsAdjusted)
{
    const InheritCase cases[] = {
        {"container inherit applies and propagates", true, CONTAINER_INHERIT_ACE, CONTAINER_INHERIT_ACE | INHERITED_ACE},
        {"inherit-only is cleared on the child", true, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE,
         CONTAINER_INHERIT_ACE | INHERITED_ACE},
        {"no-propagate stops at the child", true, CONTAINER_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE, INHERITED_ACE},
        {"object inherit is carried inherit-only by a container", true, OBJECT_INHERIT_ACE,
         OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE | INHERITED_ACE},
        {"object inherit with no-propagate skips a container", true, OBJECT_INHERIT_ACE | NO_PROPAGATE_INHERIT_ACE, -1},
        {"object inherit applies to a leaf", false, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, INHERITED_ACE},
        {"container inherit skips a leaf", false, CONTAINER_INHERIT_ACE, -1},
        {"an entry without inherit flags stays", true, 0, -1},
    };
    for (const InheritCase& c : cases) {
        std::vector<Bytes> entries = {Ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE, KEY_READ, kSidLocalSystem),
                                      Ace(ACCESS_ALLOWED_ACE_TYPE, c.parentFlags, KEY_READ, kSidUsers)};
        SecurityDescriptorBytes parent = Absolute(kSidAdministrators, true, &entries).SelfRelative();
        SecurityDescriptorBytes child;
        ASSERT_EQ(STATUS_SUCCESS, InheritSecurity(parent, nullptr, Token{kUser, {}, false}, c.isContainer, &child)) << c.what;
        int usersFlags = -1;
        for (const auto& [flags, sid] : DaclEntries(child)) {
            if (sid == kSidUsers) {
                usersFlags = flags;
            }
        }
        EXPECT_EQ(c.childFlags, usersFlags) << c.what;
    }
}

TEST(SecurityInheritTest, OwnerIsTheCreatorAndAnExplicitDescriptorWins)
{
    SecurityDescriptorBytes parent = DefaultKeySecurity();
    SecurityDescriptorBytes child;
    ASSERT_EQ(STATUS_SUCCESS, InheritSecurity(parent, nullptr, Token{kUser, {}, false}, true, &child));
    PSID owner = nullptr;
    BOOLEAN defaulted;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetOwnerSecurityDescriptor(child.data(), &owner, &defaulted));
    EXPECT_EQ(kUser, SidToString(owner));
    auto entries = DaclEntries(child);
    ASSERT_EQ(4u, entries.size());
    EXPECT_EQ((std::pair<int, std::string>{CONTAINER_INHERIT_ACE | INHERITED_ACE, kSidLocalSystem}), entries[0]);

    std::vector<Bytes> mine = {Ace(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, kOtherUser)};
    Absolute given(kOtherUser, true, &mine);
    ASSERT_EQ(STATUS_SUCCESS, InheritSecurity(parent, &given.sd, Token{kUser, {}, false}, true, &child));
    ASSERT_EQ(STATUS_SUCCESS, RtlGetOwnerSecurityDescriptor(child.data(), &owner, &defaulted));
    EXPECT_EQ(kOtherUser, SidToString(owner));
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{{0, kOtherUser}}), DaclEntries(child));

    given.dacl[0] = 1;  // an ACL revision Windows does not know
    EXPECT_EQ(STATUS_INVALID_SECURITY_DESCR, InheritSecurity(parent, &given.sd, Token{kUser, {}, false}, true, &child));
}

TEST(SecurityInheritTest, NothingInheritableGivesTheCreatorsDefaultDacl)
{
    std::vector<Bytes> entries = {Ace(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, kSidEveryone)};
    SecurityDescriptorBytes parent = Absolute(kSidAdministrators, true, &entries).SelfRelative();
    SecurityDescriptorBytes child;
    ASSERT_EQ(STATUS_SUCCESS, InheritSecurity(parent, nullptr, Token{kUser, {}, false}, true, &child));
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{{0, kSidLocalSystem}, {0, kUser}}), DaclEntries(child));
}

struct AccessCase {
    const char* what;
    const char* owner;
    bool daclPresent;
    std::vector<Bytes> dacl;  // empty with daclPresent: a NULL DACL unless emptyDacl
    bool emptyDacl;
    ACCESS_MASK desired;
    NTSTATUS status;
    ACCESS_MASK granted;
};

TEST(SecurityAccessCheckTest, GrantsWhatTheDaclAndOwnershipAllow)
{
    const Bytes allowUserRead = Ace(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, kUser);
    const Bytes allowUsersRead = Ace(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, kSidUsers);
    const Bytes allowEveryoneAll = Ace(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, kSidEveryone);
    const Bytes denyUserSet = Ace(ACCESS_DENIED_ACE_TYPE, 0, KEY_SET_VALUE, kUser);
    const AccessCase cases[] = {
        {"allowed read", kSidAdministrators, true, {allowUserRead}, false, KEY_READ, STATUS_SUCCESS, KEY_READ},
        {"read allowed, write not", kSidAdministrators, true, {allowUserRead}, false, KEY_SET_VALUE, STATUS_ACCESS_DENIED, 0},
        {"deny before allow wins", kSidAdministrators, true, {denyUserSet, allowEveryoneAll}, false, KEY_SET_VALUE,
         STATUS_ACCESS_DENIED, 0},
        {"deny leaves other rights", kSidAdministrators, true, {denyUserSet, allowEveryoneAll}, false, KEY_QUERY_VALUE,
         STATUS_SUCCESS, KEY_QUERY_VALUE},
        {"allow met first stays granted", kSidAdministrators, true, {allowEveryoneAll, denyUserSet}, false, KEY_SET_VALUE,
         STATUS_SUCCESS, KEY_SET_VALUE},
        {"maximum allowed is the union less denials", kSidAdministrators, true, {denyUserSet, allowUsersRead, allowEveryoneAll},
         false, MAXIMUM_ALLOWED, STATUS_SUCCESS, KEY_ALL_ACCESS & ~KEY_SET_VALUE},
        {"maximum allowed with nothing granted", kSidAdministrators, true, {}, true, MAXIMUM_ALLOWED, STATUS_ACCESS_DENIED, 0},
        {"generic read maps through the key mapping", kSidAdministrators, true, {allowUsersRead}, false, GENERIC_READ,
         STATUS_SUCCESS, KEY_READ},
        {"generic rights in an entry map too", kSidAdministrators, true,
         {Ace(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_WRITE, kSidEveryone)}, false, KEY_SET_VALUE, STATUS_SUCCESS, KEY_SET_VALUE},
        {"an inherit-only entry does not apply", kSidAdministrators, true,
         {Ace(ACCESS_ALLOWED_ACE_TYPE, CONTAINER_INHERIT_ACE | INHERIT_ONLY_ACE, KEY_READ, kUser)}, false, KEY_READ,
         STATUS_ACCESS_DENIED, 0},
        {"the owner may read and change the DACL", kUser, true, {}, true, READ_CONTROL | WRITE_DAC, STATUS_SUCCESS,
         READ_CONTROL | WRITE_DAC},
        {"but nothing more", kUser, true, {}, true, KEY_QUERY_VALUE, STATUS_ACCESS_DENIED, 0},
        {"an empty DACL grants nothing", kSidAdministrators, true, {}, true, KEY_QUERY_VALUE, STATUS_ACCESS_DENIED, 0},
        {"a NULL DACL grants everything", kSidAdministrators, true, {}, false, KEY_ALL_ACCESS, STATUS_SUCCESS, KEY_ALL_ACCESS},
        {"no DACL grants everything", kSidAdministrators, false, {}, false, MAXIMUM_ALLOWED, STATUS_SUCCESS,
         KEY_ALL_ACCESS | STANDARD_RIGHTS_ALL},
        {"system security needs the privilege", kSidAdministrators, false, {}, false, ACCESS_SYSTEM_SECURITY,
         STATUS_PRIVILEGE_NOT_HELD, 0},
    };
    Token token{kUser, {kSidEveryone, kSidAuthenticatedUsers, kSidUsers}, false};
    for (const AccessCase& c : cases) {
        Absolute absolute(c.owner, c.daclPresent, c.dacl.empty() && !c.emptyDacl ? nullptr : &c.dacl);
        ACCESS_MASK granted = 0xDEAD;
        EXPECT_EQ(c.status, AccessCheck(absolute.SelfRelative(), token, c.desired, kKeyMapping, &granted)) << c.what;
        EXPECT_EQ(c.granted, granted) << c.what;
    }
}

TEST(SecurityAccessCheckTest, AnAdministratorHoldsTheSystemSecurityPrivilege)
{
    Token admin{kUser, {kSidEveryone, kSidAdministrators}, true};
    ACCESS_MASK granted = 0;
    EXPECT_EQ(STATUS_SUCCESS, AccessCheck(DefaultKeySecurity(), admin, ACCESS_SYSTEM_SECURITY | KEY_WRITE, kKeyMapping, &granted));
    EXPECT_EQ((ACCESS_MASK)(ACCESS_SYSTEM_SECURITY | KEY_WRITE), granted);
    Token user{kUser, {kSidEveryone, kSidUsers}, false};
    EXPECT_EQ(STATUS_ACCESS_DENIED, AccessCheck(DefaultKeySecurity(), user, KEY_SET_VALUE, kKeyMapping, &granted));
    EXPECT_EQ(STATUS_SUCCESS, AccessCheck(DefaultKeySecurity(), user, KEY_READ, kKeyMapping, &granted));
}

TEST(SecurityQueryTest, AnswersOnlyThePartsAskedForAndTheLengthNeeded)
{
    SecurityDescriptorBytes stored = DefaultKeySecurity();
    struct {
        SECURITY_INFORMATION asked;
        ULONG needed;
        USHORT control;
    } cases[] = {
        {0, 20, SE_SELF_RELATIVE},
        {OWNER_SECURITY_INFORMATION, 20 + 16, SE_SELF_RELATIVE},
        {GROUP_SECURITY_INFORMATION, 20 + 12, SE_SELF_RELATIVE},
        // DACL: header 8, SYSTEM 20, Administrators 24, Users 24, Everyone 20.
        {DACL_SECURITY_INFORMATION, 20 + 96, SE_SELF_RELATIVE | SE_DACL_PRESENT},
        {OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, 20 + 16 + 12 + 96,
         SE_SELF_RELATIVE | SE_DACL_PRESENT},
    };
    for (const auto& c : cases) {
        Bytes buffer(c.needed, 0xCC);
        ULONG needed = 0;
        EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, QuerySecurity(stored, c.asked, buffer.data(), c.needed - 1, &needed)) << c.asked;
        EXPECT_EQ(c.needed, needed) << c.asked;
        EXPECT_EQ(Bytes(c.needed, 0xCC), buffer) << "nothing copied for " << c.asked;
        ASSERT_EQ(STATUS_SUCCESS, QuerySecurity(stored, c.asked, buffer.data(), c.needed, &needed)) << c.asked;
        EXPECT_EQ(c.control, reinterpret_cast<PISECURITY_DESCRIPTOR_RELATIVE>(buffer.data())->Control) << c.asked;
        EXPECT_EQ((c.asked & OWNER_SECURITY_INFORMATION) != 0, Field(buffer, offsetof(SECURITY_DESCRIPTOR_RELATIVE, Owner)) != 0);
        EXPECT_TRUE(RtlValidSecurityDescriptor(buffer.data())) << c.asked;
    }
}

TEST(SecuritySetTest, ReplacesOnlyTheNamedParts)
{
    SecurityDescriptorBytes stored = DefaultKeySecurity();
    std::vector<Bytes> mine = {Ace(ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, kUser)};
    Absolute replacement(kUser, true, &mine);

    ASSERT_EQ(STATUS_SUCCESS, SetSecurity(stored, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                          &replacement.sd));
    PSID owner = nullptr;
    BOOLEAN defaulted;
    ASSERT_EQ(STATUS_SUCCESS, RtlGetOwnerSecurityDescriptor(stored.data(), &owner, &defaulted));
    EXPECT_EQ(kSidAdministrators, SidToString(owner)) << "the owner was not named";
    EXPECT_EQ((std::vector<std::pair<int, std::string>>{{0, kUser}}), DaclEntries(stored));
    EXPECT_NE(0, reinterpret_cast<PISECURITY_DESCRIPTOR_RELATIVE>(stored.data())->Control & SE_DACL_PROTECTED);

    SecurityDescriptorBytes relative = replacement.SelfRelative();
    ASSERT_EQ(STATUS_SUCCESS, SetSecurity(stored, OWNER_SECURITY_INFORMATION, relative.data()));
    ASSERT_EQ(STATUS_SUCCESS, RtlGetOwnerSecurityDescriptor(stored.data(), &owner, &defaulted));
    EXPECT_EQ(kUser, SidToString(owner));

    SecurityDescriptorBytes before = stored;
    EXPECT_EQ(STATUS_INVALID_PRIMARY_GROUP, SetSecurity(stored, GROUP_SECURITY_INFORMATION, &replacement.sd));
    Absolute ownerless(nullptr, false);
    EXPECT_EQ(STATUS_INVALID_OWNER, SetSecurity(stored, OWNER_SECURITY_INFORMATION, &ownerless.sd));
    replacement.dacl[8 + 2] = 0xF0;  // the entry's AceSize reaches past the ACL's AclSize
    EXPECT_EQ(STATUS_INVALID_SECURITY_DESCR, SetSecurity(stored, DACL_SECURITY_INFORMATION, &replacement.sd));
    EXPECT_EQ(before, stored) << "a refused change leaves the descriptor as it was";
}

class SecurityTokenTest : public SimKernelTest {};

TEST_F(SecurityTokenTest, TokensCarryTheUserAndTheGroupsOfTheirKind)
{
    Token system = TokenOf(PsInitialSystemProcess);
    EXPECT_EQ(kSidLocalSystem, system.user);
    EXPECT_TRUE(system.administrator);
    EXPECT_EQ((std::vector<std::string>{kSidEveryone, kSidAuthenticatedUsers, kSidAdministrators}), system.groups);

    ProcessParams params{u"\\Device\\HarddiskVolume3\\Windows\\notepad.exe"};
    params.userSid = kUser;
    PEPROCESS user = CreateUserProcess(params);
    Token token = TokenOf(user);
    EXPECT_EQ(kUser, token.user);
    EXPECT_FALSE(token.administrator);
    EXPECT_EQ((std::vector<std::string>{kSidEveryone, kSidAuthenticatedUsers, kSidUsers}), token.groups);

    params.administrator = true;
    PEPROCESS admin = CreateUserProcess(params);
    EXPECT_TRUE(TokenOf(admin).administrator);
    EXPECT_EQ(kSidAdministrators, TokenOf(admin).groups.back());
    EndProcess(user);
    EndProcess(admin);
}

}  // namespace
}  // namespace vexsim::test
