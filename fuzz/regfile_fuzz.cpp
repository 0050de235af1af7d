// libFuzzer target for the .reg reader: each input is a whole file imported into the running
// machine's registry. Any input may be refused, but no input may crash the reader, and a refused
// import must change nothing: the registry's export afterwards is the one taken before. The
// machine lives across inputs and boots anew only after an import that changed it, so every
// import starts from the same small registry.
#include "sim/machine/machine.h"
#include "sim/regfile/registry_file.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Export()
{
    std::string all;
    for (const char16_t* hive : {u"\\REGISTRY\\MACHINE", u"\\REGISTRY\\USER"}) {
        std::vector<UCHAR> bytes;
        vexsim::RegFileError error;
        if (vexsim::ExportRegistryFile(hive, vexsim::RegFileFormat::Version5, {}, &bytes, &error) != STATUS_SUCCESS) {
            std::fprintf(stderr, "export failed: %s\n", error.message.c_str());
            __builtin_trap();
        }
        all.append(bytes.begin(), bytes.end());
    }
    return all;
}

struct Machine {
    std::string boot;      // the export of a freshly booted machine
    bool changed = false;  // an import changed the registry since the last boot
};

Machine& BootOnce()
{
    static Machine machine = [] {
        vexsim::BootMachine();
        std::atexit(vexsim::ShutdownMachine);
        return Machine{Export()};
    }();
    return machine;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Machine& machine = BootOnce();
    if (machine.changed) {
        vexsim::BootMachine();
        machine.changed = false;
    }
    vexsim::RegFileOptions options;
    options.currentUserSid = u"S-1-5-21-1004336348-1177238915-682003330-1001";
    vexsim::RegFileError error;
    if (NT_SUCCESS(vexsim::ImportRegistryFile(std::span(data, size), options, &error))) {
        machine.changed = true;
    } else if (Export() != machine.boot) {
        std::fprintf(stderr, "a refused import (line %zu: %s) changed the registry\n", error.line, error.message.c_str());
        __builtin_trap();
    }
    return 0;
}
