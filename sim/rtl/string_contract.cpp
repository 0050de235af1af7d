#include "sim/rtl/string_contract.h"

#include "sim/core/kernel.h"

#include <string>

namespace vexsim {

void CheckArgumentPresent(const void* pointer, const char* routine, const char* argument)
{
    if (pointer == nullptr) {
        StopMachine(std::string(routine) + ": " + argument + " is NULL");
    }
}

void CheckUnicodeString(PCUNICODE_STRING string, const char* routine, const char* argument)
{
    CheckArgumentPresent(string, routine, argument);
    const char* fault = nullptr;
    if (string->Length % sizeof(WCHAR) != 0) {
        fault = "odd Length";
    } else if (string->Length > string->MaximumLength) {
        fault = "Length exceeds MaximumLength";
    } else if (string->Buffer == nullptr && string->MaximumLength != 0) {
        fault = "NULL Buffer with a non-zero MaximumLength";
    }
    if (fault != nullptr) {
        StopMachine(std::string(routine) + ": malformed UNICODE_STRING " + argument + " (" + fault + ": Length " +
                    std::to_string(string->Length) + ", MaximumLength " + std::to_string(string->MaximumLength) + ")");
    }
}

}  // namespace vexsim
