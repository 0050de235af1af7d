// Name translation on the paths of every create and open: the name triple of a relative open
// under a redirected parent and of an absolute name, the top-of-registry exclusion, the shared-key
// test that walks the whole machine table, and the Classes view of a 32-bit Classes name.
#include "names/names.h"

#include "bench/bench_machine.h"
#include "common/name_buffer.h"
#include "tests/support/kernel_key.h"
#include "tests/support/redirect_config.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

namespace {

class ConfiguredDriver : public vexbench::LoadedDriver {
public:
    ConfiguredDriver() { vextest::ConfigureRedirectNames(); }
};

void TimeRegistryPath(benchmark::State& state, PVOID rootObject, PUNICODE_STRING objectName)
{
    for (auto _ : state) {
        UNICODE_STRING full = {}, original = {}, redirect = {};
        if (GetRegistryPath(&g_VexRegFilterData.CallbackCookie, rootObject, objectName, &full, &original, &redirect) != STATUS_SUCCESS) {
            std::abort();
        }
        FreeOwnedString(&full);
        FreeOwnedString(&original);
        FreeOwnedString(&redirect);
    }
}

// The parent is a key the sandboxed process holds under the redirect root, named by the driver
// through CmCallbackGetKeyObjectID with the cookie of a callback that lets everything pass.
NTSTATUS NTAPI PassThrough(PVOID, PVOID, PVOID) { return STATUS_SUCCESS; }

void GetRegistryPathRelativeUnderRedirectedParent(benchmark::State& state)
{
    ConfiguredDriver driver;
    if (CmRegisterCallbackEx(&PassThrough, &g_VexRegFilterData.Altitude, g_VexRegFilterData.DriverObject, nullptr,
                             &g_VexRegFilterData.CallbackCookie, nullptr) != STATUS_SUCCESS) {
        std::abort();
    }
    {
        vextest::KernelKey parent;
        if (parent.CreatePath(std::u16string(vextest::kRedirectRoot) + u"\\USER\\S-1-5-21-1-2-3-1001\\Software\\Microsoft") != STATUS_SUCCESS) {
            std::abort();
        }
        vexbench::Wide name(u"Windows\\CurrentVersion\\Explorer");
        TimeRegistryPath(state, parent.object(), name.get());
    }
    (void)CmUnRegisterCallback(g_VexRegFilterData.CallbackCookie);
    g_VexRegFilterData.CallbackCookie.QuadPart = 0;
}
BENCHMARK(GetRegistryPathRelativeUnderRedirectedParent);

void GetRegistryPathAbsolute(benchmark::State& state)
{
    ConfiguredDriver driver;
    vexbench::Wide name(u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer");
    TimeRegistryPath(state, NULL, name.get());
}
BENCHMARK(GetRegistryPathAbsolute);

void TimeNameTest(benchmark::State& state, BOOLEAN (*test)(PCUNICODE_STRING), const char16_t* nameText)
{
    ConfiguredDriver driver;
    vexbench::Wide name(nameText);
    for (auto _ : state) {
        benchmark::DoNotOptimize(test(name.get()));
    }
}
BENCHMARK_CAPTURE(TimeNameTest, IsExcludeNameOfAUserRoot, &IsExcludeName,
                  u"\\REGISTRY\\USER\\S-1-5-21-3623811015-3361044348-30300820-1013");
// Row 35 is the machine table's last, and its last subkey is the last one tried.
BENCHMARK_CAPTURE(TimeNameTest, IsMachineSharedKeyLastRow, &IsMachineSharedKey,
                  u"\\REGISTRY\\MACHINE\\SOFTWARE\\WOW6432Node\\Microsoft\\Transaction Server\\Components");

void ClassesViewOf32BitClassesName(benchmark::State& state)
{
    ConfiguredDriver driver;
    vexbench::Wide source(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\CLSID\\{00021401-0000-0000-C000-000000000046}\\InprocServer32");
    for (auto _ : state) {
        UNICODE_STRING original = {}, redirect = {};
        if (DuplicateName(&original, source.get()) != STATUS_SUCCESS || CreateRedirectFullName(&original, &redirect) != STATUS_SUCCESS ||
            GetActualPathForClassesWow64(&original, &redirect, KEY_WOW64_32KEY) != STATUS_SUCCESS) {
            std::abort();
        }
        FreeOwnedString(&original);
        FreeOwnedString(&redirect);
    }
}
BENCHMARK(ClassesViewOf32BitClassesName);

}  // namespace
