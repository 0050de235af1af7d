// What a sandbox session changed, seen from the sandboxed programs: the keys and values they
// added, changed and deleted, under the real names they addressed. Computed at the end of a
// session while redirection still runs, by comparing what a process under the sandbox sees with
// what the real registry holds, over the keys the private copy holds. Host code only.
#pragma once

#include "sim/core/kernel.h"
#include "sim/regfile/registry_file.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vexrun {

// Where the private copy lives: the three redirect names the service configured.
struct SandboxLayout {
    std::u16string redirectRoot;          // \REGISTRY\MACHINE\SOFTWARE\...; its USER and MACHINE halves
    std::u16string userClassesRoot;       // \REGISTRY\USER\<SID>\Software\Classes\...
    std::u16string machineClassesRoot;    // \REGISTRY\MACHINE\SOFTWARE\Classes\...
};

enum class ChangeKind { Added, Changed, Deleted };

struct ValueChange {
    std::u16string name;         // empty: the default value
    ChangeKind kind = ChangeKind::Added;
    uint32_t type = 0;           // the new type and data; none for a deleted value
    std::vector<uint8_t> data;
};

struct KeyChange {
    std::u16string path;         // the real key's native name, \REGISTRY\...
    ChangeKind kind = ChangeKind::Changed;  // Changed: only values differ
    std::vector<ValueChange> values;        // sorted by name, case-insensitively
};

struct NetChanges {
    std::vector<KeyChange> keys;  // parents before children, siblings sorted
    bool empty() const { return keys.empty(); }
};

// What the private copy differs in from the real registry before any program runs: the keys the
// redirection start prepares (the user's Internet Settings, "LongPathsEnabled") and the values
// the service wrote into the copy. Taken right after the start, read straight from the copy (no
// process needed); ComputeNetChanges leaves these out, as no program made them.
[[nodiscard]] NTSTATUS ComputeStartChanges(const SandboxLayout& layout, NetChanges* changes, std::string* problem);

// Compares the view of `observer` (a live process under the sandbox) with the real registry over
// every key the copy holds under the layout's roots, leaving out what `atStart` holds the same.
// The walk opens keys as the observer, so the driver may copy more keys: export the private copy
// first. Keys the observer may not read are taken as unchanged (no program under the sandbox
// could change them either); the redirect roots and the keys above them are never named.
[[nodiscard]] NTSTATUS ComputeNetChanges(const SandboxLayout& layout, PEPROCESS observer, const NetChanges& atStart,
                                         NetChanges* changes, std::string* problem);

// The changes as a .reg file that, imported over the real registry, gives the registry the
// sandboxed programs saw: added and changed keys with their new values, "name"=- for deleted
// values, [-key] for deleted keys.
[[nodiscard]] NTSTATUS FormatNetChangesRegFile(const NetChanges& changes, vexsim::RegFileFormat format,
                                               const vexsim::RegFileOptions& options, std::vector<UCHAR>* file,
                                               std::string* problem);

}  // namespace vexrun
