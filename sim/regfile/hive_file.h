// Registry content from regf hive files, as copied from a Windows machine (the SYSTEM, SOFTWARE
// or NTUSER.DAT files, or the output of `reg save`), read with libhivex. Host code only.
//
// Import places the hive's root at a mount point of the running machine's registry (for example
// a SOFTWARE hive at \REGISTRY\MACHINE\SOFTWARE, an NTUSER.DAT at \REGISTRY\USER\<SID>): the
// keys below the hive's root are created below the mount point with their values, classes and
// last-write times, exactly as an import of a .reg file with the same content would create them,
// and, like it, either completely or not at all. The hive's root gives the mount point its values,
// class and time. A key the hive gives a class takes it (an existing key included); links on the
// way are followed as a .reg import follows them. The whole file is read before anything changes:
// a hive whose key lists loop or that is deeper than the registry allows is refused as damaged.
#pragma once

#include "sim/regfile/registry_file.h"

#include <string>

namespace vexsim {

// STATUS_OBJECT_NAME_NOT_FOUND for a missing file or mount point, STATUS_REGISTRY_CORRUPT for a
// file that is not a well-formed hive, with the problem in *error (line 0).
[[nodiscard]] NTSTATUS ImportHiveFile(const std::string& hivePath, std::u16string_view mountPoint, RegFileError* error);

}  // namespace vexsim
