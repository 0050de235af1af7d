// The longest full name the registry holds: 32,767 characters, what a counted string can carry.
// Creates and renames that would make a longer name are refused with STATUS_NAME_TOO_LONG and
// change nothing, so no key's reported name is ever cut short.
#include "tests/sim/registry_fixture.h"

#include "sim/cm/user_registry.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"

#include <algorithm>
#include <vector>

namespace vextest {
namespace {

constexpr size_t kLimit = 32767;
const std::u16string kBase = u"\\REGISTRY\\MACHINE\\SOFTWARE\\NameLimit";

// A kernel handle closed at the end of its scope.
class Key {
public:
    Key() = default;
    ~Key() { Close(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    PHANDLE out() { return &handle_; }
    HANDLE get() const { return handle_; }
    void Close()
    {
        if (handle_ != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, ZwClose(handle_));
            handle_ = nullptr;
        }
    }

private:
    HANDLE handle_ = nullptr;
};

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

// Opens the key the components lead to from root, as a kernel caller.
NTSTATUS OpenDeep(Key* key, HANDLE root, const std::vector<std::u16string>& components)
{
    Key current;
    NTSTATUS status = STATUS_SUCCESS;
    for (const std::u16string& step : InSteps(components)) {
        Key next;
        status = OpenKey(next.out(), step, KEY_READ, current.get() != nullptr ? current.get() : root);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        current.Close();
        std::swap(*current.out(), *next.out());
    }
    std::swap(*key->out(), *current.out());
    return status;
}

NTSTATUS Rename(HANDLE key, const std::u16string& name)
{
    Wide wide(name);
    return ZwRenameKey(key, wide.get());
}

class RegistryNameLimitTest : public RegistryTest {
protected:
    // Creates the chain below kBase, one component per create relative to the level above, with
    // components of 255 characters and one shorter last one, until the deepest key's full name is
    // exactly `length` characters. *deepest receives it; returns the components.
    std::vector<std::u16string> BuildChain(size_t length, Key* deepest)
    {
        std::vector<std::u16string> components;
        Key parent;
        EXPECT_EQ(STATUS_SUCCESS, CreateKey(parent.out(), kBase));
        size_t reached = kBase.size();
        while (reached < length) {
            size_t chars = std::min<size_t>(255, length - reached - 1);
            components.emplace_back(chars, static_cast<char16_t>(u'a' + components.size() % 26));
            Key child;
            EXPECT_EQ(STATUS_SUCCESS, CreateKey(child.out(), components.back(), 0, nullptr, parent.get()))
                << "level " << components.size();
            reached += 1 + chars;
            parent.Close();
            std::swap(*parent.out(), *child.out());
        }
        std::swap(*deepest->out(), *parent.out());
        return components;
    }
};

TEST_F(RegistryNameLimitTest, CreateIsRefusedOnceTheFullNamePassesTheLimit)
{
    Key parent;
    BuildChain(kLimit - 10, &parent);
    ASSERT_EQ(kLimit - 10, FullName(parent.get()).size());

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
        Key child;
        ULONG disposition = 0;
        EXPECT_EQ(row.expected, CreateKey(child.out(), name, 0, &disposition, parent.get()));
        if (row.expected == STATUS_SUCCESS) {
            EXPECT_EQ(ULONG(REG_CREATED_NEW_KEY), disposition);
            std::u16string full = FullName(child.get());
            EXPECT_EQ(kLimit, full.size());
            EXPECT_EQ(name, full.substr(full.size() - name.size())) << "the reported name is whole";
            EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(child.get()));
        } else {
            EXPECT_EQ(nullptr, child.get());
            EXPECT_EQ(0u, SubkeyCount(parent.get())) << "nothing was created";
            Key opened;
            EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, OpenKey(opened.out(), name, KEY_READ, parent.get()));
        }
    }
}

TEST_F(RegistryNameLimitTest, UserModeCreateIsRefusedAlike)
{
    Key deepest;
    std::vector<std::u16string> components = BuildChain(kLimit - 1, &deepest);
    vexsim::ProcessParams params;
    params.imagePath = u"\\Device\\HarddiskVolume3\\Program Files\\app.exe";
    params.administrator = true;
    PEPROCESS process = vexsim::CreateUserProcess(params);
    {
        vexsim::UserModeScope user(process);
        // The deep key is reached with relative opens of at most 32 components each.
        HANDLE current = nullptr;
        {
            Wide base(kBase);
            OBJECT_ATTRIBUTES oa;
            InitializeObjectAttributes(&oa, base.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
            ASSERT_EQ(STATUS_SUCCESS, vexsim::NtOpenKeyEx(&current, KEY_ALL_ACCESS, &oa, 0));
        }
        for (const std::u16string& step : InSteps(components)) {
            Wide relative(step);
            OBJECT_ATTRIBUTES oa;
            InitializeObjectAttributes(&oa, relative.get(), OBJ_CASE_INSENSITIVE, current, nullptr);
            HANDLE next = nullptr;
            ASSERT_EQ(STATUS_SUCCESS, vexsim::NtOpenKeyEx(&next, KEY_ALL_ACCESS, &oa, 0));
            EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(current));
            current = next;
        }
        Wide name(u"x");
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, current, nullptr);
        HANDLE child = nullptr;
        EXPECT_EQ(STATUS_NAME_TOO_LONG, vexsim::NtCreateKey(&child, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr))
            << "\\x after a name one short of the limit passes it by one";
        EXPECT_EQ(nullptr, child);
        EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(current));
    }
    EXPECT_EQ(0u, SubkeyCount(deepest.get()));
}

TEST_F(RegistryNameLimitTest, RenameIsRefusedWhenTheKeyOrAnyKeyBelowItWouldPassTheLimit)
{
    Key deepest;
    std::vector<std::u16string> components = BuildChain(kLimit - 5, &deepest);
    ASSERT_LE(components.back().size() + 6, 255u) << "the renamed component must stay a valid name";
    Key base;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(base.out(), kBase));

    // The deepest key: its own name is the longest.
    EXPECT_EQ(STATUS_NAME_TOO_LONG, Rename(deepest.get(), components.back() + u"123456"));
    // The base: the deepest key below it would pass the limit, though the base's own name is short.
    EXPECT_EQ(STATUS_NAME_TOO_LONG, Rename(base.get(), u"NameLimit123456"));
    Key sameBase;
    EXPECT_EQ(STATUS_SUCCESS, OpenKey(sameBase.out(), kBase, KEY_READ)) << "a refused rename keeps the name";
    Key sameDeepest;
    ASSERT_EQ(STATUS_SUCCESS, OpenDeep(&sameDeepest, sameBase.get(), components)) << "and so does every key below";
    EXPECT_EQ(kLimit - 5, FullName(sameDeepest.get()).size());

    // Growing up to the limit exactly is allowed.
    EXPECT_EQ(STATUS_SUCCESS, Rename(base.get(), u"NameLimit12345"));
    Key renamedBase;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(renamedBase.out(), kBase + u"12345", KEY_READ));
    Key renamed;
    ASSERT_EQ(STATUS_SUCCESS, OpenDeep(&renamed, renamedBase.get(), components));
    EXPECT_EQ(kLimit, FullName(renamed.get()).size());
}

}  // namespace
}  // namespace vextest
