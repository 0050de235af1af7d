// RtlCompareMemory: how many leading bytes two blocks share.
#include "platform/platform.h"

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const auto* first = static_cast<const UCHAR*>(Source1);
    const auto* second = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    while (same < Length && first[same] == second[same]) {
        ++same;
    }
    return same;
}
