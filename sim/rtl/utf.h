// Host conversions between UTF-16 (what WCHAR holds) and UTF-8 (what host strings hold).
//
// WCHAR is 16 bits in all project code, so the C and C++ standard libraries' wide-character
// routines cannot be used on it; these helpers are the simulated kernel's own. Narrow strings
// are taken as UTF-8: the simulated machine's ANSI code page is UTF-8.
#pragma once

#include "platform/platform.h"
#include "sim/rtl/utf8.h"

#include <string>
#include <string_view>

namespace vexsim {

// Units before the terminating NUL.
size_t WideLength(PCWSTR text);

// Copies `units` UTF-16 code units.
std::u16string ToU16(PCWSTR text, size_t units);
std::u16string ToU16(PCWSTR text);

// The counted string's Length/2 units; empty for a null pointer or buffer.
std::u16string ToU16(PCUNICODE_STRING text);

// A counted string over the text itself (Length = MaximumLength = its size in bytes), no copy: the
// text must outlive the view and hold at most 32,767 units.
UNICODE_STRING CountedView(const std::u16string& text);

}  // namespace vexsim
