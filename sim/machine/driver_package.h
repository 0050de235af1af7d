// Installing a driver package as Windows setup does from its INF file: the services its
// DefaultInstall section adds, with their AddReg entries. Host code only; LoadDriver installs the
// package of the image it loads, so every load reads the INF the real installation would.
//
// What is understood: [Version] with Signature "$WINDOWS NT$"; the DefaultInstall.NTamd64.Services
// section (or the undecorated DefaultInstall.Services) and its AddService = name,flags,section
// lines; in a service section ServiceType, StartType, ErrorControl, ServiceBinary (%12% is the
// drivers directory), DisplayName, Description, LoadOrderGroup, Dependencies and AddReg; AddReg
// lines "HKR,subkey,value,flags,data" with flags 0x00000000 (REG_SZ), 0x00010001 (REG_DWORD),
// 0x00020000 (REG_EXPAND_SZ) and 0x00010000 (REG_MULTI_SZ); %strkey% tokens from [Strings] and
// %% for a percent sign; ';' comments. Anything else the install needs is refused with a problem
// that names it. Files are not copied: the simulated machine runs the driver linked into it.
#pragma once

#include "sim/core/kernel.h"

#include <string>

namespace vexsim {

// Writes each service's key under \REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services, as the
// System process. On failure problem says what in the file could not be installed; keys written
// before the failure stay.
[[nodiscard]] NTSTATUS InstallDriverPackage(const std::string& infPath, std::string* problem);

// Writes the Instances key of a minifilter's service, as its INF would: DefaultInstance naming
// "<service> Instance", whose subkey holds the altitude and flags 0. For test drivers without a
// package of their own.
[[nodiscard]] NTSTATUS InstallFilterInstances(const std::u16string& service, const std::u16string& altitude);

}  // namespace vexsim
