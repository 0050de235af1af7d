// The object namespace: full names such as \Device\VexRegFilter or \??\VexRegFilter mapped to
// objects. Host code only.
//
// Names compare case-insensitively. \DosDevices\X and \GLOBAL??\X name the same entry as \??\X.
// Entries do not hold references: whoever inserts a name removes it before the object goes. One
// lock guards the map; lookups reference the object under it.
#pragma once

#include "platform/platform.h"

#include <string>

namespace vexsim {

// Checks a counted name handed in by the driver and returns its canonical form.
[[nodiscard]] NTSTATUS CaptureObjectName(PCUNICODE_STRING name, std::u16string& canonical);

// Canonical form of a full name: the DOS-device aliases folded onto \??\.
std::u16string CanonicalName(const std::u16string& name);

[[nodiscard]] NTSTATUS InsertObjectName(const std::u16string& canonicalName, PVOID object);

// The object of a name, referenced (internal reference), or null.
PVOID LookupObjectName(const std::u16string& canonicalName);

// Removes a name if it still names the object.
void RemoveObjectName(const std::u16string& canonicalName, PVOID object);

void ClearNamespace();

}  // namespace vexsim
