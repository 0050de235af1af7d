// The registry against Windows' own answers, as two peer test suites record them (Wine's
// dlls/ntdll/tests/reg.c, ReactOS's modules/rostests/apitests/ntdll): each row names the suite
// file and test function its answer comes from. Where Windows versions differ, Windows 10/11.
#include "tests/sim/registry_fixture.h"

#include "sim/ob/user_objects.h"

#include <cstring>
#include <functional>
#include <optional>

namespace vextest {
namespace {

using ConformanceTest = RegistryUserTest;

// Names given to creates and opens, by a kernel caller.
TEST_F(ConformanceTest, NamesAnswerAsWindows)
{
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&parent, u"\\REGISTRY\\MACHINE\\SOFTWARE\\WineTest"));
    const struct {
        const char* source;
        const char* probe;
        std::u16string name;
        bool relative;  // to WineTest
        bool create;
        NTSTATUS expected;
        const char* reported;  // the key reached, on success
    } rows[] = {
        {"reg.c test_NtOpenKey", "\\Registry\\\\ opens the root", u"\\Registry\\\\", false, false, STATUS_SUCCESS,
         "\\REGISTRY"},
        {"reg.c test_NtCreateKey", "\\Registry\\\\ creates (opens) the root", u"\\Registry\\\\", false, true,
         STATUS_SUCCESS, "\\REGISTRY"},
        {"reg.c test_NtOpenKey", "\\\\\\ names nothing", u"\\\\\\", false, false, STATUS_OBJECT_NAME_INVALID, nullptr},
        {"reg.c test_NtOpenKey", "an object that is no key", u"\\Device\\Null", false, false,
         STATUS_OBJECT_TYPE_MISMATCH, nullptr},
        {"reg.c test_NtCreateKey", "an object that is no key", u"\\Device\\Null", false, true,
         STATUS_OBJECT_TYPE_MISMATCH, nullptr},
        {"reg.c test_NtCreateKey", "two trailing backslashes", u"test_subkey2\\\\", true, true, STATUS_SUCCESS,
         "\\REGISTRY\\MACHINE\\SOFTWARE\\WineTest\\test_subkey2"},
        {"reg.c test_NtCreateKey", "double backslashes between levels", u"test_subkey2\\\\test\\\\", true, true,
         STATUS_SUCCESS, "\\REGISTRY\\MACHINE\\SOFTWARE\\WineTest\\test_subkey2\\test"},
        {"reg.c test_NtCreateKey", "double backslashes, parent missing", u"test\\\\subkey", true, true,
         STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
        {"reg.c test_NtCreateKey", "only the last level is created", u"test\\sub\\key", true, true,
         STATUS_OBJECT_NAME_NOT_FOUND, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.source) + ": " + row.probe);
        HANDLE key = nullptr;
        HANDLE root = row.relative ? parent : nullptr;
        NTSTATUS status = row.create ? CreateKey(&key, row.name, 0, nullptr, root) : OpenKey(&key, row.name, KEY_READ, root);
        EXPECT_EQ(row.expected, status);
        EXPECT_EQ(NT_SUCCESS(row.expected), key != nullptr);
        if (key != nullptr) {
            EXPECT_EQ(row.reported, KeyNameOf(key));
            (void)ZwClose(key);
        }
    }
    HANDLE sub = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&sub, u"test_subkey2\\test", KEY_ALL_ACCESS, parent));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(sub));
    (void)ZwClose(sub);
    ASSERT_EQ(STATUS_SUCCESS, OpenKey(&sub, u"test_subkey2", KEY_ALL_ACCESS, parent));
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(sub));
    (void)ZwClose(sub);
    EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(parent));
    (void)ZwClose(parent);
}

// What a user process is granted, and what it may do with a handle.
TEST_F(ConformanceTest, UserHandlesAnswerAsWindows)
{
    PEPROCESS process = StartProcess(false, true);
    vexsim::UserModeScope user(process);
    const std::u16string software = u"\\Registry\\Machine\\Software";
    const struct {
        const char* source;
        ACCESS_MASK desired;
        NTSTATUS expected;
        ACCESS_MASK granted;  // the handle's, on success
    } access[] = {
        {"reg.c test_NtOpenKey; NtCreateKey.c", 0, STATUS_ACCESS_DENIED, 0},
        {"NtCreateKey.c", KEY_WOW64_32KEY, STATUS_ACCESS_DENIED, 0},
        {"NtCreateKey.c", KEY_WOW64_64KEY, STATUS_ACCESS_DENIED, 0},
        {"NtCreateKey.c (Windows 7: STATUS_INVALID_PARAMETER)", KEY_WOW64_RES, STATUS_ACCESS_DENIED, 0},
        {"NtCreateKey.c", READ_CONTROL, STATUS_SUCCESS, READ_CONTROL},
        {"NtCreateKey.c", READ_CONTROL | KEY_WOW64_32KEY, STATUS_SUCCESS, READ_CONTROL},
        {"NtCreateKey.c (Windows 7: STATUS_INVALID_PARAMETER)", READ_CONTROL | KEY_WOW64_RES, STATUS_SUCCESS,
         READ_CONTROL},
    };
    for (const auto& row : access) {
        SCOPED_TRACE(std::string(row.source) + ": desired " + std::to_string(row.desired));
        for (bool create : {false, true}) {
            HANDLE key = reinterpret_cast<HANDLE>(0xdeadbeef);
            NTSTATUS status = create ? UserCreate(&key, software, nullptr, 0, row.desired)
                                     : UserOpen(&key, software, row.desired);
            EXPECT_EQ(row.expected, status);
            if (!NT_SUCCESS(status)) {
                EXPECT_EQ(nullptr, key) << "a refused open leaves a NULL handle";
                continue;
            }
            OBJECT_BASIC_INFORMATION basic{};
            ULONG length = 0;
            ASSERT_EQ(STATUS_SUCCESS, vexsim::NtQueryObject(key, ObjectBasicInformation, &basic, sizeof(basic), &length));
            EXPECT_EQ(row.granted, basic.GrantedAccess);
            EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(key));
        }
    }

    HANDLE parent = nullptr;
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, UserCreate(&parent, software + u"\\WineTest"));
    ASSERT_EQ(STATUS_SUCCESS, UserCreate(&key, u"rename_subkey", parent, 0, KEY_WRITE | DELETE));
    Wide own(u"rename_subkey");
    Wide ownOtherCase(u"RENAME_SUBKEY");
    Wide renamed(u"renamed_subkey");
    const struct {
        const char* source;
        const char* probe;
        std::function<NTSTATUS()> call;
        NTSTATUS expected;
    } steps[] = {
        {"reg.c test_NtRenameKey", "renaming a key to its own name", [&] { return vexsim::NtRenameKey(key, own.get()); },
         STATUS_CANNOT_DELETE},
        {"this kernel's reading of the same rule", "its own name in another case",
         [&] { return vexsim::NtRenameKey(key, ownOtherCase.get()); }, STATUS_CANNOT_DELETE},
        {"reg.c test_NtRenameKey", "a new name", [&] { return vexsim::NtRenameKey(key, renamed.get()); }, STATUS_SUCCESS},
        {"reg.c test_NtFlushKey", "flushing a NULL handle", [&] { return vexsim::NtFlushKey(nullptr); },
         STATUS_INVALID_HANDLE},
        {"reg.c test_NtFlushKey", "flushing a key", [&] { return vexsim::NtFlushKey(key); }, STATUS_SUCCESS},
        {"reg.c test_NtDeleteKey", "deleting", [&] { return vexsim::NtDeleteKey(key); }, STATUS_SUCCESS},
        {"reg.c test_NtDeleteKey; NtDeleteKey.c", "deleting it again", [&] { return vexsim::NtDeleteKey(key); },
         STATUS_SUCCESS},
        {"reg.c test_NtDeleteKey", "the name of a deleted key",
         [&] {
             UCHAR buffer[256];
             ULONG length = 0;
             return vexsim::NtQueryObject(key, ObjectNameInformation, buffer, sizeof(buffer), &length);
         },
         STATUS_KEY_DELETED},
        {"reg.c test_NtDeleteKey", "the basic information of a deleted key",
         [&] {
             OBJECT_BASIC_INFORMATION basic{};
             ULONG length = 0;
             return vexsim::NtQueryObject(key, ObjectBasicInformation, &basic, sizeof(basic), &length);
         },
         STATUS_SUCCESS},
        {"reg.c test_NtDeleteKey", "flushing a deleted key", [&] { return vexsim::NtFlushKey(key); }, STATUS_KEY_DELETED},
    };
    for (const auto& step : steps) {
        EXPECT_EQ(step.expected, step.call()) << step.source << ": " << step.probe;
    }
    EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(key));
    EXPECT_EQ(STATUS_SUCCESS, vexsim::NtDeleteKey(parent));
    EXPECT_EQ(STATUS_SUCCESS, vexsim::NtClose(parent));
    vexsim::EndProcess(process);
}

// Symbolic links: the link WineTest\link and its target WineTest\target, as the suite lays them.
TEST_F(ConformanceTest, LinksAnswerAsWindows)
{
    const std::u16string root = u"\\REGISTRY\\MACHINE\\SOFTWARE\\WineTest";
    HANDLE parent = nullptr;
    HANDLE link = nullptr;
    HANDLE target = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&parent, root));
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&link, u"link", REG_OPTION_CREATE_LINK, nullptr, parent));
    ASSERT_EQ(STATUS_SUCCESS, CreateKey(&target, u"target", 0, nullptr, parent));
    Wide linkValue(u"SymbolicLinkValue");
    auto pointLinkAt = [&](const std::u16string& to) {
        ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(link, linkValue.get(), 0, REG_LINK, const_cast<char16_t*>(to.data()),
                                                (ULONG)(to.size() * sizeof(char16_t))));
    };
    const struct {
        const char* source;
        const char* probe;
        std::u16string linkTarget;
        ULONG attributes;  // beyond OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE
        ULONG options;
        NTSTATUS expected;
        std::u16string reported;  // the key reached, on success
    } rows[] = {
        {"reg.c test_symlinks", "the link is followed", root + u"\\target", 0, 0, STATUS_SUCCESS, root + u"\\target"},
        {"reg.c test_symlinks", "REG_OPTION_OPEN_LINK alone follows it too", root + u"\\target", 0,
         REG_OPTION_OPEN_LINK, STATUS_SUCCESS, root + u"\\target"},
        {"reg.c test_symlinks", "OBJ_OPENLINK opens the link itself", root + u"\\target", OBJ_OPENLINK, 0,
         STATUS_SUCCESS, root + u"\\link"},
        {"reg.c test_symlinks (Windows 10 1607 and later)", "a relative target", u"target", 0, 0,
         STATUS_OBJECT_NAME_INVALID, u""},
        {"reg.c test_symlinks (Windows 10 1607 and later)", "a loop that grows the name by a level a hop",
         root + u"\\link\\target", 0, 0, STATUS_INVALID_PARAMETER, u""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.source) + ": " + row.probe);
        pointLinkAt(row.linkTarget);
        HANDLE key = nullptr;
        EXPECT_EQ(row.expected, OpenKey(&key, u"link", KEY_READ, parent,
                                        OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | row.attributes, row.options));
        if (key != nullptr) {
            EXPECT_EQ(Utf8(row.reported), KeyNameOf(key));
            (void)ZwClose(key);
        }
    }
    for (HANDLE key : {link, target, parent}) {
        EXPECT_EQ(STATUS_SUCCESS, ZwDeleteKey(key));
        (void)ZwClose(key);
    }
}

// The 32-bit view (reg.c test_redirection): Software\Wine\Winetest holds "value" 64 and
// Software\Wow6432Node\Wine\Winetest holds 32; each row opens a key as a native or a WOW64
// process and reads which one it reached (0: none).
TEST_F(ConformanceTest, Wow64ViewsAnswerAsWindows)
{
    const std::u16string software = u"\\Registry\\Machine\\Software";
    for (const auto& [path, value] : {std::pair{software + u"\\Wine\\Winetest", 64UL},
                                      std::pair{software + u"\\Wow6432Node\\Wine\\Winetest", 32UL},
                                      std::pair{software + u"\\Classes\\Interface\\Wine", 64UL},
                                      std::pair{software + u"\\Classes\\Wow6432Node\\Interface\\Wine", 32UL},
                                      std::pair{software + u"\\Classes\\Wine", 64UL}}) {
        HANDLE wine = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&wine, path.substr(0, path.rfind(u'\\'))));
        (void)ZwClose(wine);
        ASSERT_EQ(STATUS_SUCCESS, CreateKey(&wine, path));
        ASSERT_EQ(STATUS_SUCCESS, SetDword(wine, u"value", value));
        (void)ZwClose(wine);
    }
    enum class Caller { Kernel, Native, Wow64 };
    const struct {
        const char* probe;
        Caller caller;
        std::u16string rootName;  // empty: absolute
        ACCESS_MASK rootFlags;
        std::u16string name;
        ACCESS_MASK flags;
        ULONG value;
    } rows[] = {
        // A native process's (and a driver's) view flags change nothing.
        {"native, absolute, 32-bit flag", Caller::Native, u"", 0, software + u"\\Wine\\Winetest", KEY_WOW64_32KEY, 64},
        {"kernel, absolute, 32-bit flag", Caller::Kernel, u"", 0, software + u"\\Wine\\Winetest", KEY_WOW64_32KEY, 64},
        {"native, relative to Software opened with the 32-bit flag", Caller::Native, software, KEY_WOW64_32KEY,
         u"Wine\\Winetest", KEY_WOW64_32KEY, 64},
        {"native, explicit Wow6432Node", Caller::Native, u"", 0, software + u"\\Wow6432Node\\Wine\\Winetest", 0, 32},
        // A WOW64 process: absolute names.
        {"WOW64, absolute", Caller::Wow64, u"", 0, software + u"\\Wine\\Winetest", 0, 32},
        {"WOW64, absolute, 64-bit flag", Caller::Wow64, u"", 0, software + u"\\Wine\\Winetest", KEY_WOW64_64KEY, 64},
        {"WOW64, explicit Wow6432Node is found", Caller::Wow64, u"", 0, software + u"\\Wow6432Node\\Wine\\Winetest",
         0, 32},
        {"WOW64, explicit Wow6432Node with the 64-bit flag", Caller::Wow64, u"", 0,
         software + u"\\Wow6432Node\\Wine\\Winetest", KEY_WOW64_64KEY, 32},
        // Relative opens take the view of their root unless they ask.
        {"WOW64, Software opened in the 64-bit view keeps it", Caller::Wow64, software, KEY_WOW64_64KEY,
         u"Wine\\Winetest", 0, 64},
        {"WOW64, below a 64-bit root, asking for the 32-bit view", Caller::Wow64, software, KEY_WOW64_64KEY,
         u"Wine\\Winetest", KEY_WOW64_32KEY, 32},
        {"WOW64, below a 64-bit Wine, asking for the 32-bit view", Caller::Wow64, software + u"\\Wine",
         KEY_WOW64_64KEY, u"Winetest", KEY_WOW64_32KEY, 32},
        {"WOW64, Software opened in the 32-bit view is its Wow6432Node", Caller::Wow64, software, 0,
         u"Wine\\Winetest", KEY_WOW64_64KEY, 32},
        {"WOW64, no Wow6432Node below the 32-bit Software", Caller::Wow64, software, 0,
         u"Wow6432Node\\Wine\\Winetest", 0, 0},
        // Classes: the COM subkeys are redirected, the rest shared.
        {"WOW64, Interface below Classes", Caller::Wow64, u"", 0, software + u"\\Classes\\Interface\\Wine", 0, 32},
        {"WOW64, Interface below Classes, 64-bit flag", Caller::Wow64, u"", 0, software + u"\\Classes\\Interface\\Wine",
         KEY_WOW64_64KEY, 64},
        {"WOW64, relative to Classes opened in the 32-bit view", Caller::Wow64, software + u"\\Classes", 0,
         u"Interface\\Wine", 0, 32},
        {"WOW64, relative to Classes opened in the 64-bit view", Caller::Wow64, software + u"\\Classes",
         KEY_WOW64_64KEY, u"Interface\\Wine", 0, 64},
        {"WOW64, Classes\\Wow6432Node\\Interface stays 32-bit", Caller::Wow64, u"", 0,
         software + u"\\Classes\\Wow6432Node\\Interface\\Wine", 0, 32},
        {"WOW64, a shared key named through Classes\\Wow6432Node", Caller::Wow64, u"", 0,
         software + u"\\Classes\\Wow6432Node\\Wine", 0, 64},
        {"native, Classes\\Wow6432Node\\Wine is only that", Caller::Native, u"", 0,
         software + u"\\Classes\\Wow6432Node\\Wine", 0, 0},
        {"WOW64, the 32-bit Software's Classes is the shared Classes", Caller::Wow64, u"", 0,
         software + u"\\Wow6432Node\\Classes\\Interface\\Wine", 0, 32},
        {"native, the 32-bit Software's Classes is the 32-bit Classes", Caller::Native, u"", 0,
         software + u"\\Wow6432Node\\Classes\\Interface\\Wine", 0, 32},
    };
    PEPROCESS native = StartProcess(false, true);
    PEPROCESS wow64 = StartProcess(true, true);
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("reg.c test_redirection: ") + row.probe);
        std::optional<vexsim::UserModeScope> user;
        if (row.caller != Caller::Kernel) {
            user.emplace(row.caller == Caller::Wow64 ? wow64 : native);
        }
        auto open = [&](PHANDLE key, const std::u16string& name, ACCESS_MASK flags, HANDLE root) {
            return row.caller == Caller::Kernel ? OpenKey(key, name, KEY_READ | flags, root)
                                                : UserOpen(key, name, KEY_READ | flags, root);
        };
        auto close = [&](HANDLE key) { return row.caller == Caller::Kernel ? ZwClose(key) : vexsim::NtClose(key); };
        HANDLE root = nullptr;
        if (!row.rootName.empty()) {
            ASSERT_EQ(STATUS_SUCCESS, open(&root, row.rootName, row.rootFlags, nullptr));
        }
        HANDLE key = nullptr;
        NTSTATUS status = open(&key, row.name, row.flags, root);
        ULONG value = 0;
        if (NT_SUCCESS(status)) {
            UCHAR buffer[64];
            ULONG length = 0;
            Wide name(u"value");
            NTSTATUS query = row.caller == Caller::Kernel
                                 ? ZwQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length)
                                 : vexsim::NtQueryValueKey(key, name.get(), KeyValuePartialInformation, buffer,
                                                           sizeof(buffer), &length);
            EXPECT_EQ(STATUS_SUCCESS, query);
            std::memcpy(&value, reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Data, sizeof(value));
            (void)close(key);
        } else {
            EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status);
        }
        EXPECT_EQ(row.value, value);
        if (root != nullptr) {
            (void)close(root);
        }
    }
    vexsim::EndProcess(native);
    vexsim::EndProcess(wow64);
}

// What a callback sees of a WOW64 process's create or open: the name after the view was applied,
// and the view in Wow64Flags.
TEST_F(ConformanceTest, CallbacksSeeTheNameTheViewReaches)
{
    PEPROCESS wow64 = StartProcess(true, true);
    std::vector<std::pair<std::string, ULONG>> seen;
    TestCallback callback;
    callback.answer = [&](REG_NOTIFY_CLASS notifyClass, PVOID argument) {
        if (notifyClass == RegNtPreOpenKeyEx) {
            auto* info = static_cast<PREG_OPEN_KEY_INFORMATION_V1>(argument);
            seen.emplace_back(Utf8(Text(info->CompleteName)), info->Wow64Flags);
        }
        return STATUS_SUCCESS;
    };
    {
        vexsim::UserModeScope user(wow64);
        for (ACCESS_MASK flags : {ACCESS_MASK(0), ACCESS_MASK(KEY_WOW64_64KEY)}) {
            HANDLE key = nullptr;
            ASSERT_EQ(STATUS_SUCCESS, UserOpen(&key, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft", KEY_READ | flags));
            (void)vexsim::NtClose(key);
        }
    }
    const std::vector<std::pair<std::string, ULONG>> expected{
        {"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\Microsoft", KEY_WOW64_32KEY},
        {"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft", KEY_WOW64_64KEY},
    };
    EXPECT_EQ(expected, seen);
    vexsim::EndProcess(wow64);
}

}  // namespace
}  // namespace vextest
