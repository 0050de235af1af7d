// libFuzzer target for names a sandboxed program hands the registry callback. Each input is one
// registry call by a sandboxed process through the native API: the first byte picks the call, the
// second where an absolute name starts, the rest is UTF-16LE text (a full name after that start, a
// name relative to a key the program holds open, a value name, or a new name for a rename). The
// machine, the driver and the running redirection live across inputs.
//
// After each input the real registry outside the sandbox's allowance must be untouched. Every
// change to a key node stamps it, or its parent for a create or delete, with the simulated clock's
// time, and the clock moves on before each input; so a walk of the tree that skips the redirect
// roots finds every node the input changed, and each must lie in a key the driver leaves outside
// the sandbox. The program makes no call that sets a last-write time itself.
#include "driver/global.h"
#include "names/names.h"
#include "sim/cm/registry.h"
#include "sim/cm/user_registry.h"
#include "sim/executive/clock.h"
#include "sim/machine/machine.h"
#include "sim/ps/process.h"
#include "sim/ps/user_mode_scope.h"
#include "sim/regfile/registry_file.h"
#include "tables/builtin_lists.h"
#include "tests/support/redirection.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

namespace {

using namespace vextest;

const std::u16string kUser = u"\\REGISTRY\\USER\\" + std::u16string(kUserSid);
const std::u16string kStarts[] = {
    u"",
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\",
    kUser + u"\\Software\\",
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\",
    kUser + u"_Classes\\",
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Wow6432Node\\",
    std::u16string(kRedirectRoot) + u"\\",
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\",
};

const char kRealRegistry[] =
    "REGEDIT4\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\App\\Sub]\r\n\"v\"=dword:00000001\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\.vex]\r\n@=\"VexFile\"\r\n"
    "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\Vendor]\r\n"
    "\r\n[HKEY_USERS\\S-1-5-21-1-2-3-1001\\Software\\Vendor\\App]\r\n\"v\"=dword:00000002\r\n";

struct Sandbox {
    PEPROCESS program = nullptr;
    HANDLE held = nullptr;                     // the program's handle to SOFTWARE\Vendor\App
    std::set<const vexsim::KeyNode*> allowed;  // the redirect roots: written freely
};

Sandbox* g_sandbox = nullptr;

void Stop(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    __builtin_trap();
}

const vexsim::KeyNode* NodeOf(const std::u16string& name)
{
    std::shared_ptr<vexsim::KeyNode> node = vexsim::RegistryRoot();
    for (size_t start = std::u16string(u"\\REGISTRY\\").size(); node != nullptr && start <= name.size();) {
        size_t end = name.find(u'\\', start);
        end = end == std::u16string::npos ? name.size() : end;
        node = vexsim::FindSubkey(*node, name.substr(start, end - start));
        start = end + 1;
    }
    return node.get();
}

void UnloadAtExit()
{
    {
        vexsim::UserModeScope user(g_sandbox->program);
        (void)vexsim::NtClose(g_sandbox->held);
    }
    vexsim::EndProcess(g_sandbox->program);
    vexsim::UnloadResult result = vexsim::UnloadDriver();
    if (result.status != STATUS_SUCCESS || !result.leftovers.empty()) {
        Stop("the unload check failed");
    }
    vexsim::ShutdownMachine();
}

Sandbox& BootOnce()
{
    static Sandbox sandbox = [] {
        Sandbox booted;
        vexsim::MachineConfig config;
        config.userSids.push_back("S-1-5-21-1-2-3-1001");
        vexsim::BootMachine(config);
        vexsim::RegFileError error;
        if (vexsim::ImportRegistryFile(std::span((const UCHAR*)kRealRegistry, sizeof(kRealRegistry) - 1), {}, &error) !=
                STATUS_SUCCESS ||
            vexsim::LoadDriver(DriverEntry, "VexRegFilter") != STATUS_SUCCESS) {
            Stop("the machine could not be set up");
        }
        StartRedirection();
        vexsim::ProcessParams params{u"\\Device\\HarddiskVolume3\\App\\sandboxed.exe"};
        params.userSid = "S-1-5-21-1-2-3-1001";
        params.administrator = true;
        booted.program = vexsim::CreateUserProcess(params);
        PutUnderSandbox(booted.program);
        vexsim::UserModeScope user(booted.program);
        Wide name(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Vendor\\App");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        if (vexsim::NtOpenKeyEx(&booted.held, KEY_ALL_ACCESS, &attributes, 0) != STATUS_SUCCESS) {
            Stop("the program could not open its key");
        }
        std::lock_guard<std::mutex> tree(vexsim::TreeLock());
        for (const std::u16string& root : {std::u16string(kRedirectRoot), std::u16string(kRedirectMachineClasses),
                                           kUser + u"_Classes\\Sample\\Sandbox"}) {
            if (const vexsim::KeyNode* node = NodeOf(root); node != nullptr) {
                booted.allowed.insert(node);
            }
        }
        if (booted.allowed.size() != 3) {
            Stop("a redirect root is missing");
        }
        return booted;
    }();
    if (g_sandbox == nullptr) {
        g_sandbox = &sandbox;
        std::atexit(UnloadAtExit);
    }
    return sandbox;
}

// Stops at the first node outside the redirect roots written at or after `since` that is not a
// key the driver leaves outside the sandbox.
void CheckWrittenNodes(const vexsim::KeyNode& node, LONGLONG since, const std::set<const vexsim::KeyNode*>& allowed)
{
    if (allowed.count(&node) != 0) {
        return;
    }
    if (node.lastWriteTime >= since) {
        std::u16string name = vexsim::FullNameOf(node);
        Wide wide(name);
        if (!ELIsExcludeKey(wide.get()) && !IsExcludeName(wide.get())) {
            std::fprintf(stderr, "written outside the sandbox: %s\n", Utf8(name).c_str());
            __builtin_trap();
        }
    }
    for (const std::shared_ptr<vexsim::KeyNode>& child : node.subkeys) {
        CheckWrittenNodes(*child, since, allowed);
    }
}

NTSTATUS OpenOrCreate(bool create, const std::u16string& name, HANDLE root, HANDLE* key)
{
    Wide wide(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, wide.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
    *key = nullptr;
    ULONG disposition = 0;
    return create ? vexsim::NtCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition)
                  : vexsim::NtOpenKeyEx(key, KEY_ALL_ACCESS, &attributes, 0);
}

// A key the call created goes again, so the private copy does not grow with the run.
void Undo(HANDLE key, bool created)
{
    if (key == nullptr) {
        return;
    }
    if (created) {
        (void)vexsim::NtDeleteKey(key);
    }
    (void)vexsim::NtClose(key);
}

void Call(Sandbox& sandbox, uint8_t call, const std::u16string& text)
{
    vexsim::UserModeScope user(sandbox.program);
    Wide name(text);
    HANDLE key = nullptr;
    ULONG data = 1;
    alignas(8) UCHAR buffer[256];
    ULONG length = 0;
    switch (call % 8) {
    case 0:
    case 1:
        (void)OpenOrCreate(call % 8 == 1, text, nullptr, &key);
        Undo(key, call % 8 == 1);
        break;
    case 2:
    case 3:
        (void)OpenOrCreate(call % 8 == 3, text, sandbox.held, &key);
        Undo(key, call % 8 == 3);
        break;
    case 4:
        (void)vexsim::NtSetValueKey(sandbox.held, name.get(), 0, REG_DWORD, &data, sizeof(data));
        break;
    case 5:
        (void)vexsim::NtQueryValueKey(sandbox.held, name.get(), KeyValuePartialInformation, buffer, sizeof(buffer), &length);
        break;
    case 6:
        (void)vexsim::NtDeleteValueKey(sandbox.held, name.get());
        break;
    default:
        if (NT_SUCCESS(OpenOrCreate(true, u"Renamed", sandbox.held, &key))) {
            (void)vexsim::NtRenameKey(key, name.get());
            (void)vexsim::NtEnumerateKey(sandbox.held, 0, KeyBasicInformation, buffer, sizeof(buffer), &length);
            Undo(key, true);
        }
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Sandbox& sandbox = BootOnce();
    if (size < 2) {
        return 0;
    }
    std::u16string text = (data[0] % 8 < 2) ? kStarts[data[1] % std::size(kStarts)] : u"";
    for (size_t at = 2; at + 1 < size; at += 2) {
        text += static_cast<char16_t>(data[at] | (data[at + 1] << 8));
    }
    vexsim::AdvanceSimulatedClock(1);
    LONGLONG since = vexsim::SimulatedSystemTime();
    Call(sandbox, data[0], text);
    std::lock_guard<std::mutex> tree(vexsim::TreeLock());
    CheckWrittenNodes(*vexsim::RegistryRoot(), since, sandbox.allowed);
    return 0;
}
