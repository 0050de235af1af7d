// Contract checks on counted strings handed to the run-time library.
//
// A UNICODE_STRING with an odd Length, a Length beyond MaximumLength or a missing buffer behind a
// non-zero Length is a caller bug that Windows would act on blindly (reading or writing past the
// buffer). The simulated kernel stops the machine instead, naming the routine and the argument,
// as Driver Verifier's security checks do.
#pragma once

#include "platform/platform.h"

namespace vexsim {

void CheckUnicodeString(PCUNICODE_STRING string, const char* routine, const char* argument);

// A missing required pointer argument is the same kind of breach.
void CheckArgumentPresent(const void* pointer, const char* routine, const char* argument);

}  // namespace vexsim
