// The native registry calls a simulated program makes, with growing buffers where the answer's
// size is not known: thin wrappers of user_registry.h. Host code only; every call is valid only
// inside a vexsim::UserModeScope of the calling process.
#pragma once

#include "platform/platform.h"
#include "tools/vexsim-run/scenario.h"

#include <string>

namespace vexrun {

// Opens or creates `name` (absolute, or relative to `parent` when it is not null). `created`
// receives whether a create made a new key.
NTSTATUS CallOpenKey(HANDLE parent, const std::u16string& name, ACCESS_MASK access, bool create, ULONG createOptions,
                     HANDLE* key, bool* created);
NTSTATUS CallQueryValue(HANDLE key, const std::u16string& name, ValueData* value);
NTSTATUS CallEnumerateKey(HANDLE key, ULONG index, std::u16string* name);
NTSTATUS CallEnumerateValue(HANDLE key, ULONG index, std::u16string* name, ValueData* value);
NTSTATUS CallSetValue(HANDLE key, const std::u16string& name, const ValueData& value);
NTSTATUS CallDeleteValue(HANDLE key, const std::u16string& name);
NTSTATUS CallRenameKey(HANDLE key, const std::u16string& newName);

}  // namespace vexrun
