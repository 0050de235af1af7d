// The answers of the key and value query classes, laid out as Windows lays them out, and the
// rules by which they reach the caller's buffer. Host code only.
#pragma once

#include "sim/cm/registry.h"

namespace vexsim {

// A class's answer: the fixed part first, then the variable tail (names, class, data).
struct Answer {
    std::vector<UCHAR> bytes;
    ULONG fixedSize = 0;
};

// STATUS_INVALID_PARAMETER for classes the query does not answer. Callers hold TreeLock().
[[nodiscard]] NTSTATUS BuildKeyAnswer(const KeyNode& node, KEY_INFORMATION_CLASS informationClass, Answer& answer);
[[nodiscard]] NTSTATUS BuildValueAnswer(const KeyValue& value, KEY_VALUE_INFORMATION_CLASS informationClass,
                                        Answer& answer);
bool IsKeyInformationClass(KEY_INFORMATION_CLASS informationClass);
bool IsValueInformationClass(KEY_VALUE_INFORMATION_CLASS informationClass);

// Copies an answer into the caller's buffer, as a caller of that mode owns it (a fault in a
// user-mode caller's memory gives STATUS_ACCESS_VIOLATION). *ResultLength is the whole answer's
// size in every case. Shorter than the fixed part: STATUS_BUFFER_TOO_SMALL and nothing written.
// Shorter than the whole: STATUS_BUFFER_OVERFLOW with the fixed part and as much of the tail as
// fits (Windows documents only the fixed part; callers must not rely on the rest).
[[nodiscard]] NTSTATUS CopyAnswer(const Answer& answer, PVOID buffer, ULONG length, PULONG resultLength,
                                  KPROCESSOR_MODE mode);

}  // namespace vexsim
