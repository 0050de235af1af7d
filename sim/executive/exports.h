// The simulated kernel's export table, which MmGetSystemRoutineAddress resolves. Components
// register the routines they export; tests hide a routine to make the kernel look older (a driver
// probing for it then takes its fallback) and unhide it again. Host code only.
#pragma once

#include <string_view>

namespace vexsim {

// Adds or replaces an export. Names compare exactly, case-sensitively, as export names do.
void RegisterExport(std::u16string_view name, void* address);

// A hidden export resolves to NULL until unhidden. Hiding a name not (yet) registered is allowed
// and holds once it is.
void HideExport(std::u16string_view name);
void UnhideExport(std::u16string_view name);

// Boot state: nothing hidden, the executive's own routines registered. Registrations of other
// components survive, so boot order does not matter.
void ResetExports();

}  // namespace vexsim
