// The keys of the private copy, listed from outside the driver: every key below the redirect
// roots, so a session can tell which keys an operation made appear there. Host code only; the
// walk runs as the kernel (the System process), which the driver never redirects.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace vexrun {

// Native names in upper case (names compare without regard to case), the roots themselves
// included when they exist, each with its number of values (a key's stub has none until the
// key is filled from the real one).
std::map<std::u16string, size_t> ListCopyKeys(const std::vector<std::u16string>& roots);

// Upper case for ASCII letters, as registry names compare for the names scenarios use.
std::u16string UpperName(std::u16string_view name);

}  // namespace vexrun
