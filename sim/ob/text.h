// Small text helpers of the simulated kernel: counted UTF-16 strings to host strings, UTF-8 for
// reports, and the case folding object names use. Host code only.
#pragma once

#include "platform/platform.h"

#include <string>

namespace vexsim {

// The characters of a counted string (never reads past Length); empty for null.
std::u16string FromUnicodeString(PCUNICODE_STRING string);

// UTF-16 to UTF-8 for reports; unpaired surrogates become U+FFFD.
std::string Utf8(const std::u16string& text);

// Case folding for object names. Only ASCII letters are folded: the names the kernel and the
// driver use are ASCII, and a full Unicode case table is the run-time library's business.
std::u16string UpcaseName(const std::u16string& name);

}  // namespace vexsim
