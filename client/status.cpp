#include "client/status.h"

#include <cstdio>

namespace vexclient {

namespace {

struct NamedStatus {
    uint32_t value;
    const char* name;
};

// What the driver's controls, the I/O manager and the filter-manager port answer.
constexpr NamedStatus kNames[] = {
    {0x00000000u, "STATUS_SUCCESS"},
    {0x00000102u, "STATUS_TIMEOUT"},
    {0x8000001Au, "STATUS_NO_MORE_ENTRIES"},
    {0xC0000001u, "STATUS_UNSUCCESSFUL"},
    {0xC0000002u, "STATUS_NOT_IMPLEMENTED"},
    {0xC0000008u, "STATUS_INVALID_HANDLE"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER"},
    {0xC000000Eu, "STATUS_NO_SUCH_DEVICE"},
    {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000022u, "STATUS_ACCESS_DENIED"},
    {0xC0000023u, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000024u, "STATUS_OBJECT_TYPE_MISMATCH"},
    {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC0000037u, "STATUS_PORT_DISCONNECTED"},
    {0xC000003Au, "STATUS_OBJECT_PATH_NOT_FOUND"},
    {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC00000A0u, "STATUS_MEMORY_NOT_ALLOCATED"},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED"},
    {0xC0000246u, "STATUS_CONNECTION_COUNT_LIMIT"},
    {0xC01C0020u, "STATUS_FLT_NO_WAITER_FOR_REPLY"},
};

}  // namespace

std::string DescribeStatus(NtStatus status)
{
    char text[64];
    int length = std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    for (const NamedStatus& named : kNames) {
        if (named.value == static_cast<uint32_t>(status)) {
            std::snprintf(text + length, sizeof(text) - length, " %s", named.name);
            break;
        }
    }
    return text;
}

}  // namespace vexclient
