// Key paths and results as people write and read them: the root abbreviations of Process Monitor
// and the registry editor (HKLM, HKCU, HKCR, HKU) against native \REGISTRY names, and statuses as
// Process Monitor's result column names them. Host code only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexrun {

// HKLM\x, HKEY_LOCAL_MACHINE\x, HKCU\x (the user's hive), HKCR\x (the machine's classes, as a
// .reg file means it: a file cannot say which user's merged view), HKU\x and \REGISTRY\x as
// they are. Roots are matched without regard to case; a bare root names the root key. Empty
// when the path has none of these roots.
std::u16string NativeKeyPath(std::u16string_view path, std::u16string_view userSid);

// The other way, as Process Monitor shows a path: the user's hive and classes as HKCU, the
// machine's classes as HKCR, other hives as HKLM and HKU; names outside them stay native.
std::string DisplayKeyPath(std::u16string_view nativePath, std::u16string_view userSid);

// "SUCCESS", "NAME NOT FOUND", "ACCESS DENIED", ... or "0xC0000XXX" for a status without a name.
std::string ResultName(uint32_t status);

// The status a result name or a hexadecimal number ("0xC0000034") stands for.
std::optional<uint32_t> ParseResultName(std::string_view text);

}  // namespace vexrun
