// A sandboxed program works on its private registry through the native calls: in each area of the
// registry, one level and forty levels deep, what it opens is a copy filled from the real key,
// every change lands in the copy, and the real key stays as it was.
#include "tests/callback/callback_fixture.h"

#include "sim/ob/handles.h"
#include "tables/key_lists.h"

#include <algorithm>
#include <functional>

namespace {

using namespace vextest;

// The registry as the test sets it up and looks at it: kernel opens and creates one level at a
// time, from the system process, which the driver never redirects.
NTSTATUS KernelOpenPath(const std::u16string& name, HANDLE* handle, HANDLE root = nullptr)
{
    *handle = nullptr;
    size_t start = root != nullptr ? 0 : name.find(u'\\', 10) + 1;
    KernelKey first;
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE current = nullptr;
    if (root == nullptr) {
        Wide head(name.substr(0, start - 1));
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, head.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        status = ZwOpenKey(&current, KEY_ALL_ACCESS, &oa);
    } else {
        OBJECT_ATTRIBUTES oa;
        UNICODE_STRING same = {};
        InitializeObjectAttributes(&oa, &same, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
        status = ZwOpenKey(&current, KEY_ALL_ACCESS, &oa);
    }
    while (NT_SUCCESS(status) && start < name.size()) {
        size_t end = std::min(name.find(u'\\', start), name.size());
        Wide level(name.substr(start, end - start));
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, level.get(), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, current, nullptr);
        HANDLE next = nullptr;
        status = ZwOpenKey(&next, KEY_ALL_ACCESS, &oa);
        (void)ZwClose(current);
        current = next;
        start = end + 1;
    }
    if (NT_SUCCESS(status)) {
        *handle = current;
    }
    return status;
}

struct KeyContent {
    std::vector<std::u16string> subkeys;
    std::vector<std::u16string> values;
    bool operator==(const KeyContent&) const = default;
};

KeyContent ContentOf(HANDLE key, KPROCESSOR_MODE mode)
{
    KeyContent content;
    std::vector<UCHAR> buffer(512);
    ULONG length = 0;
    auto enumerate = [&](ULONG index, bool values) {
        return mode == KernelMode
                   ? (values ? ZwEnumerateValueKey(key, index, KeyValueBasicInformation, buffer.data(), 512, &length)
                             : ZwEnumerateKey(key, index, KeyBasicInformation, buffer.data(), 512, &length))
                   : (values ? vexsim::NtEnumerateValueKey(key, index, KeyValueBasicInformation, buffer.data(), 512, &length)
                             : vexsim::NtEnumerateKey(key, index, KeyBasicInformation, buffer.data(), 512, &length));
    };
    for (ULONG index = 0; enumerate(index, false) == STATUS_SUCCESS; index++) {
        auto* info = (PKEY_BASIC_INFORMATION)buffer.data();
        content.subkeys.emplace_back((const char16_t*)info->Name, info->NameLength / sizeof(WCHAR));
    }
    for (ULONG index = 0; enumerate(index, true) == STATUS_SUCCESS; index++) {
        auto* info = (PKEY_VALUE_BASIC_INFORMATION)buffer.data();
        content.values.emplace_back((const char16_t*)info->Name, info->NameLength / sizeof(WCHAR));
    }
    return content;
}

// Where a test's keys live: how the program names the area, where the real keys are, and where
// their copy is.
struct Area {
    const char* name;
    std::u16string programName;  // absolute, or relative to the program's hive root
    std::u16string realName;     // absolute, or relative to the hive root
    std::u16string copyName;     // absolute
    bool wow64 = false;          // the program runs in the 32-bit view
    bool appHive = false;
};

class RedirectTest : public CallbackTest {
protected:
    void TearDown() override
    {
        if (program_ != nullptr && program_ != sandboxed) {
            vexsim::EndProcess(program_);
        }
        CallbackTest::TearDown();
    }

    // The program of an area: the sandboxed one, or a sandboxed 32-bit one.
    PEPROCESS ProgramFor(const Area& area)
    {
        if (!area.wow64) {
            return sandboxed;
        }
        vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\app32.exe"};
        params.userSid = Utf8(kUserSid);
        params.administrator = true;
        params.wow64 = true;
        PEPROCESS program = vexsim::CreateUserProcess(params);
        PutUnderSandbox(program);
        return program;
    }

    // A real key with a subkey S and a value v = 1, `levels` levels below the area.
    NTSTATUS MakeRealKey(const std::u16string& name, HANDLE hiveRoot)
    {
        KernelKey key;
        NTSTATUS status = STATUS_SUCCESS;
        if (hiveRoot == nullptr) {
            status = key.CreatePath(name + u"\\S");
        } else {
            HANDLE current = hiveRoot;
            size_t start = 0;
            std::u16string path = name + u"\\S";
            while (NT_SUCCESS(status) && start < path.size()) {
                size_t end = std::min(path.find(u'\\', start), path.size());
                KernelKey next;
                status = next.Create(path.substr(start, end - start), current);
                key = std::move(next);
                current = key.handle();
                start = end + 1;
            }
        }
        HANDLE real = nullptr;
        if (NT_SUCCESS(status)) {
            status = KernelOpenPath(name, &real, hiveRoot == nullptr ? nullptr : hiveRoot);
        }
        if (NT_SUCCESS(status)) {
            Wide value(u"v");
            ULONG one = 1;
            status = ZwSetValueKey(real, value.get(), 0, REG_DWORD, &one, sizeof(one));
            (void)ZwClose(real);
        }
        return status;
    }

    // Opens a name of any depth as the program does: at most 20 levels per call, each relative
    // to the last.
    NTSTATUS ProgramOpen(const std::u16string& name, HANDLE root, HANDLE* handle, ACCESS_MASK access = KEY_ALL_ACCESS)
    {
        std::vector<std::u16string> levels;
        size_t start = 0;
        while (start <= name.size()) {
            size_t end = std::min(name.find(u'\\', start + (root == nullptr && start == 0 ? 1 : 0)), name.size());
            levels.push_back(name.substr(start, end - start));
            start = end + 1;
        }
        HANDLE current = root;
        NTSTATUS status = STATUS_SUCCESS;
        for (size_t first = 0; first < levels.size() && NT_SUCCESS(status); first += 20) {
            std::u16string chunk;
            for (size_t i = first; i < std::min(first + 20, levels.size()); i++) {
                chunk += (i == first ? u"" : u"\\") + levels[i];
            }
            HANDLE next = nullptr;
            status = Open(program_, chunk, access, &next, current);
            if (current != root) {
                (void)Close(program_, current);
            }
            current = next;
        }
        *handle = NT_SUCCESS(status) ? current : nullptr;
        return status;
    }

    KeyContent ProgramContent(HANDLE key)
    {
        vexsim::UserModeScope user(program_);
        return ContentOf(key, UserMode);
    }
    KeyContent KernelContent(const std::u16string& name, HANDLE root = nullptr)
    {
        HANDLE key = nullptr;
        if (!NT_SUCCESS(KernelOpenPath(name, &key, root))) {
            return {{u"<missing>"}, {}};
        }
        KeyContent content = ContentOf(key, KernelMode);
        (void)ZwClose(key);
        return content;
    }
    ULONG QueryDword(HANDLE key, const std::u16string& name)
    {
        vexsim::UserModeScope user(program_);
        Wide wide(name);
        UCHAR buffer[64] = {};
        ULONG length = 0;
        if (vexsim::NtQueryValueKey(key, wide.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length) != STATUS_SUCCESS) {
            return 0xDEAD;
        }
        return *(ULONG*)((PKEY_VALUE_PARTIAL_INFORMATION)buffer)->Data;
    }

    void Scenario(const Area& area, size_t levels)
    {
        SCOPED_TRACE(std::string(area.name) + " at depth " + std::to_string(levels));
        program_ = ProgramFor(area);
        HANDLE hiveRoot = nullptr, kernelHiveRoot = nullptr;
        struct CloseAtEnd {
            HANDLE* handle;
            ~CloseAtEnd()
            {
                if (*handle != nullptr) {
                    (void)ZwClose(*handle);
                }
            }
        } closeKernelRoot{&kernelHiveRoot};
        if (area.appHive) {
            vexsim::UserModeScope user(program_);
            ASSERT_EQ(STATUS_SUCCESS, vexsim::LoadApplicationHive(KEY_ALL_ACCESS, &hiveRoot));
            PVOID object = nullptr;
            ASSERT_EQ(STATUS_SUCCESS, ObReferenceObjectByHandle(hiveRoot, 0, *CmKeyObjectType, UserMode, &object, nullptr));
            ASSERT_EQ(STATUS_SUCCESS, ObOpenObjectByPointer(object, OBJ_KERNEL_HANDLE, nullptr, KEY_ALL_ACCESS, nullptr,
                                                            KernelMode, &kernelHiveRoot));
            ObDereferenceObject(object);
        }
        const std::u16string tail = levels == 1 ? u"\\E2E" : Deep(u"\\E2E", levels - 1);
        const std::u16string programName = area.programName + tail;
        const std::u16string realName = area.appHive ? tail.substr(1) : area.realName + tail;
        ASSERT_EQ(STATUS_SUCCESS, MakeRealKey(realName, kernelHiveRoot));
        const KeyContent real = KernelContent(realName, kernelHiveRoot);
        ASSERT_EQ((KeyContent{{u"S"}, {u"v"}}), real);

        HANDLE key = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, ProgramOpen(area.appHive ? programName.substr(1) : programName, hiveRoot, &key));
        EXPECT_EQ(1u, QueryDword(key, u"v")) << "the copy holds the real values";
        EXPECT_EQ(real, ProgramContent(key)) << "a fresh copy lists the real subkeys";
        std::u16string copyName = area.copyName + (area.appHive ? u"" : u"") + tail;
        if (area.appHive) {
            // The copy of a hive's key lies under the root, below A and the hive's name.
            copyName = area.copyName + HiveNameOf(kernelHiveRoot).substr(9) + tail;
        }
        EXPECT_EQ((KeyContent{{u"S"}, {u"v"}}), KernelContent(copyName)) << Utf8(copyName).substr(0, 120);

        // Changes land in the copy.
        ASSERT_EQ(STATUS_SUCCESS, SetDword(program_, key, u"w", 2));
        HANDLE created = nullptr;
        ULONG disposition = 0;
        ASSERT_EQ(STATUS_SUCCESS, Create(program_, u"New", &created, &disposition, key));
        EXPECT_EQ((ULONG)REG_CREATED_NEW_KEY, disposition);
        EXPECT_EQ((KeyContent{{u"New", u"S"}, {u"v", u"w"}}), ProgramContent(key));
        HANDLE sub = nullptr;
        ASSERT_EQ(STATUS_SUCCESS, Open(program_, u"S", KEY_ALL_ACCESS, &sub, key));
        {
            vexsim::UserModeScope user(program_);
            Wide newName(u"S2");
            EXPECT_EQ(STATUS_SUCCESS, vexsim::NtRenameKey(sub, newName.get()));
            EXPECT_EQ(STATUS_SUCCESS, vexsim::NtDeleteKey(created));
        }
        EXPECT_EQ((KeyContent{{u"S2"}, {u"v", u"w"}}), ProgramContent(key));
        HANDLE again = nullptr;
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(program_, u"New", KEY_READ, &again, key)) << "a deleted copy stays deleted";
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(program_, u"S", KEY_READ, &again, key)) << "so does a renamed one";
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(program_, u"Nowhere", KEY_READ, &again, key));
        for (HANDLE handle : {sub, created, key}) {
            EXPECT_EQ(STATUS_SUCCESS, Close(program_, handle));
        }
        EXPECT_EQ(real, KernelContent(realName, kernelHiveRoot)) << "the real key is as it was";
        EXPECT_EQ(KeyContent{}, KernelContent(realName + u"\\S", kernelHiveRoot));
        if (hiveRoot != nullptr) {
            EXPECT_EQ(STATUS_SUCCESS, Close(program_, hiveRoot));
        }
    }

    static std::u16string HiveNameOf(HANDLE root)
    {
        std::vector<UCHAR> buffer(1024);
        ULONG length = 0;
        EXPECT_EQ(STATUS_SUCCESS, ZwQueryKey(root, KeyNameInformation, buffer.data(), (ULONG)buffer.size(), &length));
        auto* info = (PKEY_NAME_INFORMATION)buffer.data();
        return std::u16string((const char16_t*)info->Name, info->NameLength / sizeof(WCHAR));
    }

    void EndProgram()
    {
        if (program_ != sandboxed) {
            vexsim::EndProcess(program_);
        }
        program_ = nullptr;
    }

    PEPROCESS program_ = nullptr;
};

const std::u16string kSid = kUserSid;

const Area kAreas[] = {
    {"HKLM\\Software", kSoftware, kSoftware, kRoot + u"\\MACHINE\\SOFTWARE"},
    {"HKCU", kUser + u"\\Software", kUser + u"\\Software", kRoot + u"\\USER\\" + kSid + u"\\Software"},
    {"HKCU Classes by the classes hive", u"\\REGISTRY\\USER\\" + kSid + u"_Classes", kUser + u"\\Software\\Classes",
     kRedirectUserClasses},
    {"HKLM Classes", kSoftware + u"\\Classes", kSoftware + u"\\Classes", kRedirectMachineClasses},
    {"64-bit view of a Classes CLSID", kSoftware + u"\\Classes\\CLSID", kSoftware + u"\\Classes\\CLSID",
     std::u16string(kRedirectMachineClasses) + u"\\CLSID"},
    {"32-bit view of HKLM\\Software", kSoftware, kSoftware + u"\\Wow6432Node", kRoot + u"\\MACHINE\\SOFTWARE\\Wow6432Node", true},
    {"32-bit view of a Classes CLSID", kSoftware + u"\\Classes\\CLSID", kSoftware + u"\\Classes\\Wow6432Node\\CLSID",
     std::u16string(kRedirectMachineClasses) + u"\\Wow6432Node\\CLSID", true},
    {"application hive", u"", u"", kRoot, false, true},
};

TEST_F(RedirectTest, OneLevelDeep)
{
    for (const Area& area : kAreas) {
        Scenario(area, 1);
        EndProgram();
    }
}

TEST_F(RedirectTest, FortyLevelsDeep)
{
    for (const Area& area : kAreas) {
        if (!area.appHive) {
            Scenario(area, 40);
            EndProgram();
        }
    }
}

// What stays outside the sandbox: the built-in device and audio keys (also when reached from a
// copy), the top of the registry, and keys on the exclusion list, which do not exist inside it.
TEST_F(RedirectTest, KeysOutsideTheSandboxPassAndExcludedKeysAreMissing)
{
    program_ = sandboxed;
    const std::u16string control = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control";
    const std::u16string device = control + u"\\Class\\{Device}";
    for (const std::u16string& name : {device, kSoftware + u"\\Hidden\\Below"}) {
        KernelKey key;
        ASSERT_EQ(STATUS_SUCCESS, key.CreatePath(name));
    }
    Wide hidden(kSoftware + u"\\Hidden");
    ASSERT_EQ(STATUS_SUCCESS, InsertExcludeKey(hidden.get()));
    (void)Records();

    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, device, KEY_ALL_ACCESS, &key));
    EXPECT_EQ(STATUS_SUCCESS, SetDword(sandboxed, key, u"direct", 1));
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, control, KEY_ALL_ACCESS, &parent));
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, u"Class\\{Device}", KEY_ALL_ACCESS, &key, parent));
    EXPECT_EQ(STATUS_SUCCESS, SetDword(sandboxed, key, u"throughCopy", 1));
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(sandboxed, u"Class\\{Missing}", KEY_READ, &key, parent));
    EXPECT_EQ((KeyContent{{}, {u"direct", u"throughCopy"}}), KernelContent(device)) << "both reach the real key";
    ASSERT_EQ(STATUS_SUCCESS, Open(sandboxed, u"\\REGISTRY\\MACHINE", KEY_READ, &key));
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));

    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Open(sandboxed, kSoftware + u"\\Hidden\\Below", KEY_READ, &key));
    ULONG disposition = 0;
    ASSERT_EQ(STATUS_SUCCESS, Create(sandboxed, kSoftware + u"\\Hidden", &key, &disposition));
    EXPECT_EQ((KeyContent{}), ProgramContent(key)) << "created empty in the copy";
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, parent));

    const std::u16string copyOfControl = kRoot + u"\\MACHINE\\SYSTEM\\CurrentControlSet\\Control";
    // CurrentControlSet is a link: the open of the device key is seen again at its target, whose
    // name the driver writes as the link's.
    const std::u16string followed = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{Device}";
    // The start made ...\MACHINE\System of the copy (for LongPathsEnabled): names read back from
    // the copy keep that key's spelling.
    const std::u16string copyOfDevice = kRoot + u"\\MACHINE\\System\\CurrentControlSet\\Control\\Class\\{Device}";
    const std::u16string deviceAsCopied = u"\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Control\\Class\\{Device}";
    EXPECT_EQ((std::vector<std::string>{
                  Record("REG = OPEN", "func = OPEN", 0, device),
                  Record("REG = OPEN", "func = EXCLUDED", 0, device),
                  Record("REG = OPEN", "func = OPEN", 0, followed),
                  Record("REG = OPEN", "func = EXCLUDED", 0, followed),
                  Record("REG = OPEN", "func = OPEN", 0, control),
                  Record("REG = OPEN", "func = BYPASS", 0, copyOfControl),
                  Record("REG = OPEN", "func = OPEN", 0, copyOfDevice),
                  Record("REG = OPEN", "func = BYPASS", 0, deviceAsCopied),
                  Record("REG = OPEN", "func = OPEN", 0, kRoot + u"\\MACHINE\\System\\CurrentControlSet\\Control\\Class\\{Missing}"),
                  Record("REG = OPEN", "func = OPEN", STATUS_OBJECT_NAME_NOT_FOUND,
                         u"\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Control\\Class\\{Missing}"),
                  Record("REG = OPEN", "func = OPEN", 0, u"\\REGISTRY\\MACHINE"),
                  Record("REG = OPEN", "func = EXCLUDED", 0, u"\\REGISTRY\\MACHINE"),
                  Record("REG = OPEN", "func = OPEN", 0, kSoftware + u"\\Hidden\\Below"),
                  Record("REG = OPEN", "func = EXCLUDED", STATUS_OBJECT_NAME_NOT_FOUND, kSoftware + u"\\Hidden\\Below"),
                  Record("REG = CREATE", "func = CREATE", 0, kSoftware + u"\\Hidden"),
                  Record("REG = CREATE", "func = BYPASS", 0, kRoot + u"\\MACHINE\\SOFTWARE\\Hidden"),
                  Record("REG = ENUM_KEY", "func = PASS_THRU", 0, kRoot + u"\\MACHINE\\SOFTWARE\\Hidden"),
              }),
              Records());
}

// A program that may not write a real key may not write its copy either; what it may do with the
// copy is what a handle to the real key would allow, generic rights included.
TEST_F(RedirectTest, TheRealKeysAccessRulesHoldForItsCopy)
{
    vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\limited.exe"};
    params.userSid = Utf8(kUserSid);
    program_ = vexsim::CreateUserProcess(params);
    PutUnderSandbox(program_);
    KernelKey real;
    ASSERT_EQ(STATUS_SUCCESS, real.CreatePath(kSoftware + u"\\Guarded"));
    Wide value(u"v");
    ULONG one = 1;
    ASSERT_EQ(STATUS_SUCCESS, ZwSetValueKey(real.handle(), value.get(), 0, REG_DWORD, &one, sizeof(one)));
    (void)Records();

    HANDLE key = nullptr;
    EXPECT_EQ(STATUS_ACCESS_DENIED, Open(program_, kSoftware + u"\\Guarded", KEY_WRITE, &key));
    EXPECT_EQ(STATUS_ACCESS_DENIED, Create(program_, kSoftware + u"\\Guarded", &key));
    EXPECT_EQ((std::vector<std::string>{
                  Record("REG = OPEN", "func = OPEN", 0, kSoftware + u"\\Guarded"),
                  Record("REG = OPEN", "func = OPEN", STATUS_ACCESS_DENIED, kSoftware + u"\\Guarded"),
                  Record("REG = CREATE", "func = CREATE", 0, kSoftware + u"\\Guarded"),
                  Record("REG = CREATE", "func = CREATE", STATUS_ACCESS_DENIED, kSoftware + u"\\Guarded"),
              }),
              Records());
    for (ACCESS_MASK access : {(ACCESS_MASK)GENERIC_READ, (ACCESS_MASK)MAXIMUM_ALLOWED, (ACCESS_MASK)KEY_READ}) {
        ASSERT_EQ(STATUS_SUCCESS, Open(program_, kSoftware + u"\\Guarded", access, &key)) << std::hex << access;
        EXPECT_EQ(1u, QueryDword(key, u"v")) << std::hex << access;
        EXPECT_EQ(STATUS_ACCESS_DENIED, SetDword(program_, key, u"w", 1)) << std::hex << access;
        EXPECT_EQ(STATUS_SUCCESS, Close(program_, key));
    }
    // A key that exists only in the sandbox is the program's own.
    ASSERT_EQ(STATUS_SUCCESS, Create(program_, kSoftware + u"\\Guarded\\Mine", &key, nullptr, nullptr, MAXIMUM_ALLOWED));
    EXPECT_EQ(STATUS_SUCCESS, SetDword(program_, key, u"w", 1));
    EXPECT_EQ(STATUS_SUCCESS, Close(program_, key));

    // A real key of the built-in exclusion list reached through a copy is opened with the
    // program's own rights, not the driver's.
    const std::u16string control = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Control";
    KernelKey device;
    ASSERT_EQ(STATUS_SUCCESS, device.CreatePath(control + u"\\Class\\{Device}"));
    HANDLE parent = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Open(program_, control, KEY_READ, &parent));
    EXPECT_EQ(STATUS_ACCESS_DENIED, Open(program_, u"Class\\{Device}", KEY_WRITE, &key, parent));
    EXPECT_EQ(STATUS_ACCESS_DENIED, Create(program_, u"Class\\{Device}", &key, nullptr, parent));
    ASSERT_EQ(STATUS_SUCCESS, Open(program_, u"Class\\{Device}", KEY_READ, &key, parent));
    EXPECT_EQ(STATUS_SUCCESS, Close(program_, key));
    EXPECT_EQ(STATUS_SUCCESS, Close(program_, parent));
}

TEST_F(RedirectTest, PassThroughOnlyLogsAndPerformsOnTheRealKey)
{
    program_ = sandboxed;
    g_VexRegFilterData.DebugLogFlags = DEBUG_FLAG_PASS_THROUGH_ONLY;
    HANDLE key = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, Create(sandboxed, kSoftware + u"\\Passed", &key));
    EXPECT_EQ(STATUS_SUCCESS, SetDword(sandboxed, key, u"v", 1));
    EXPECT_EQ(STATUS_SUCCESS, Close(sandboxed, key));
    EXPECT_EQ((KeyContent{{}, {u"v"}}), KernelContent(kSoftware + u"\\Passed"));
    EXPECT_EQ(std::vector<std::string>{Record("REG = CREATE", "func = CREATE", 0, kSoftware + u"\\Passed")}, Records());
}

// Below an application hive's root, deeper than one call reaches: the driver walks the name from
// the root the program opened.
TEST_F(RedirectTest, FortyLevelsDeepInAnApplicationHive)
{
    Scenario(kAreas[std::size(kAreas) - 1], 40);
}

}  // namespace
