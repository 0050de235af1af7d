// RtlCompareMemory: how many leading bytes two blocks share.
#include "platform/platform.h"

#include <cstring>

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    const auto* first = static_cast<const UCHAR*>(Source1);
    const auto* second = static_cast<const UCHAR*>(Source2);
    SIZE_T same = 0;
    // Eight bytes at a time while they agree (equal blocks are the common case), then bytewise.
    while (same + sizeof(ULONG64) <= Length && std::memcmp(first + same, second + same, sizeof(ULONG64)) == 0) {
        same += sizeof(ULONG64);
    }
    while (same < Length && first[same] == second[same]) {
        ++same;
    }
    return same;
}
