// What tests and tools do to the registry from outside, as the system's own services do on
// Windows rather than through a driver-visible routine.
#pragma once

#include "platform/platform.h"

#include <string_view>

namespace vexsim {

// Mounts a Windows container's (silo's) hive as the host's container service does: a new, empty
// hive root \REGISTRY\WC\<name> with the default hive-root descriptor, non-volatile like any hive
// loaded from a file. ZwCreateKey cannot make one: \REGISTRY\WC lives in the volatile master hive
// (STATUS_CHILD_MUST_BE_VOLATILE), and a container hive is loaded, not created. The hive stays
// until the machine shuts down.
// STATUS_OBJECT_NAME_INVALID for an empty name or one holding a separator, STATUS_INVALID_PARAMETER
// for one longer than 255 characters, STATUS_OBJECT_NAME_COLLISION when the name is taken.
[[nodiscard]] NTSTATUS LoadContainerHive(std::u16string_view name);

}  // namespace vexsim
