// The longest full name the registry holds: 32,767 characters, what a counted string can carry.
// Creates and renames that would make a longer name are refused with STATUS_NAME_TOO_LONG and
// change nothing, so no key's reported name is ever cut short.
#include "tests/sim/registry_fixture.h"

#include "sim/cm/user_registry.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "tests/support/kernel_key.h"

#include <algorithm>
#include <vector>

namespace vextest {
namespace {

constexpr size_t kLimit = 32767;
const std::u16string kBase = u"\\REGISTRY\\MACHINE\\SOFTWARE\\NameLimit";

// The full name of a key of any length (KeyNameInformation), as UTF-16.
std::u16string FullName(HANDLE key)
{
    std::vector<UCHAR> buffer(sizeof(KEY_NAME_INFORMATION) + kLimit * sizeof(WCHAR));
    ULONG length = 0;
    if (ZwQueryKey(key, KeyNameInformation, buffer.data(), (ULONG)buffer.size(), &length) != STATUS_SUCCESS) {
        return u"<query failed>";
    }
    auto* info = reinterpret_cast<PKEY_NAME_INFORMATION>(buffer.data());
    return std::u16string(reinterpret_cast<const char16_t*>(info->Name), info->NameLength / sizeof(WCHAR));
}

ULONG SubkeyCount(HANDLE key)
{
    std::vector<UCHAR> buffer(4096);
    ULONG length = 0;
    EXPECT_EQ(STATUS_SUCCESS, ZwQueryKey(key, KeyFullInformation, buffer.data(), (ULONG)buffer.size(), &length));
    return reinterpret_cast<PKEY_FULL_INFORMATION>(buffer.data())->SubKeys;
}

// The components as relative paths of at most 32 components each, what one open may walk.
std::vector<std::u16string> InSteps(const std::vector<std::u16string>& components)
{
    std::vector<std::u16string> steps;
    for (size_t i = 0; i < components.size(); i++) {
        if (i % 32 == 0) {
            steps.emplace_back();
        } else {
            steps.back() += u'\\';
        }
        steps.back() += components[i];
    }
    return steps;
}

// Opens the key the components lead to below the absolute name base, with relative opens of at
// most 32 components each, as a kernel caller or as the current user process.
NTSTATUS OpenDeep(PHANDLE key, const std::u16string& base, const std::vector<std::u16string>& components,
                  bool userMode = false)
{
    auto open = [&](PHANDLE handle, const std::u16string& name, HANDLE root) {
        Wide wide(name);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, wide.get(), OBJ_CASE_INSENSITIVE | (userMode ? 0 : OBJ_KERNEL_HANDLE), root,
                                   nullptr);
        return userMode ? vexsim::NtOpenKeyEx(handle, KEY_ALL_ACCESS, &oa, 0) : ZwOpenKeyEx(handle, KEY_ALL_ACCESS, &oa, 0);
    };
    HANDLE current = nullptr;
    NTSTATUS status = open(&current, base, nullptr);
    for (const std::u16string& step : InSteps(components)) {
        if (status != STATUS_SUCCESS) {
            return status;
        }
        HANDLE next = nullptr;
        status = open(&next, step, current);
        EXPECT_EQ(STATUS_SUCCESS, userMode ? vexsim::NtClose(current) : ZwClose(current));
        current = next;
    }
    *key = current;
    return status;
}

NTSTATUS Rename(HANDLE key, const std::u16string& name)
{
    Wide wide(name);
    return ZwRenameKey(key, wide.get());
}

class RegistryNameLimitTest : public RegistryTest {
protected:
    // Creates keys below kBase, of 255-character components and one shorter last one, until the
    // deepest key's full name is exactly `length` characters; *deepest ends on it. Returns the
    // components below kBase.
    std::vector<std::u16string> BuildChain(size_t length, KernelKey* deepest)
    {
        std::vector<std::u16string> components;
        std::u16string path = kBase;
        while (path.size() < length) {
            size_t chars = std::min<size_t>(255, length - path.size() - 1);
            components.emplace_back(chars, static_cast<char16_t>(u'a' + components.size() % 26));
            path += u'\\' + components.back();
        }
        EXPECT_EQ(STATUS_SUCCESS, deepest->CreatePath(path));
        return components;
    }
};

TEST_F(RegistryNameLimitTest, CreateIsRefusedOnceTheFullNamePassesTheLimit)
{
    KernelKey parent;
    BuildChain(kLimit - 10, &parent);
    ASSERT_EQ(kLimit - 10, FullName(parent.handle()).size());

    struct Case {
        size_t nameChars;
        NTSTATUS expected;
        const char* probes;
    } cases[] = {
        {10, STATUS_NAME_TOO_LONG, "one character beyond the limit"},
        {255, STATUS_NAME_TOO_LONG, "a whole component beyond it"},
        {9, STATUS_SUCCESS, "exactly at the limit"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.probes);
        std::u16string name(row.nameChars, u'z');
        HANDLE child = nullptr;
        ULONG disposition = 0;
        EXPECT_EQ(row.expected, CreateKey(&child, name, 0, &disposition, parent.handle()));
        if (row.expected == STATUS_SUCCESS) {
            EXPECT_EQ(ULONG(REG_CREATED_NEW_KEY), disposition);
            std::u16string full = FullName(child);
            EXPECT_EQ(kLimit, full.size());
            EXPECT_EQ(name, full.substr(full.size() - name.size())) << "the reported name is whole";
            EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(child));
            EXPECT_EQ(STATUS_SUCCESS, ZwClose(child));
        } else {
            EXPECT_EQ(nullptr, child);
            EXPECT_EQ(0u, SubkeyCount(parent.handle())) << "nothing was created";
        }
    }
}

TEST_F(RegistryNameLimitTest, UserModeCreateIsRefusedAlike)
{
    KernelKey deepest;
    std::vector<std::u16string> components = BuildChain(kLimit - 1, &deepest);
    vexsim::ProcessParams params;
    params.imagePath = u"\\Device\\HarddiskVolume3\\Program Files\\app.exe";
    params.administrator = true;
    PEPROCESS process = vexsim::CreateUserProcess(params);
    {
        vexsim::UserModeScope user(process);
        HANDLE parent = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, OpenDeep(&parent, kBase, components, true));
        Wide name(u"x");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, parent, nullptr);
        HANDLE child = nullptr;
        EXPECT_EQ(STATUS_NAME_TOO_LONG, vexsim::NtCreateKey(&child, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr))
            << "\\x after a name one short of the limit passes it by one";
        EXPECT_EQ(nullptr, child);
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(parent));
    }
    EXPECT_EQ(0u, SubkeyCount(deepest.handle()));
}

TEST_F(RegistryNameLimitTest, RenameIsRefusedWhenTheKeyOrAnyKeyBelowItWouldPassTheLimit)
{
    KernelKey deepest;
    std::vector<std::u16string> components = BuildChain(kLimit - 5, &deepest);
    ASSERT_LE(components.back().size() + 6, 255u) << "the renamed component must stay a valid name";
    KernelKey base;
    ASSERT_EQ(STATUS_SUCCESS, base.Create(kBase));

    // The deepest key: its own name is the longest.
    EXPECT_EQ(STATUS_NAME_TOO_LONG, Rename(deepest.handle(), components.back() + u"123456"));
    // The base: the deepest key below it would pass the limit, though the base's own name is short.
    EXPECT_EQ(STATUS_NAME_TOO_LONG, Rename(base.handle(), u"NameLimit123456"));
    HANDLE same = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenDeep(&same, kBase, components)) << "a refused rename keeps every name";
    EXPECT_EQ(kLimit - 5, FullName(same).size());
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(same));

    // Growing up to the limit exactly is allowed.
    EXPECT_EQ(STATUS_SUCCESS, Rename(base.handle(), u"NameLimit12345"));
    HANDLE renamed = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenDeep(&renamed, kBase + u"12345", components));
    EXPECT_EQ(kLimit, FullName(renamed).size());
    EXPECT_EQ(STATUS_SUCCESS, ZwClose(renamed));
}

}  // namespace
}  // namespace vextest
