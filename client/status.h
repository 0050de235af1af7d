// Statuses as the control client reports them: NTSTATUS values, whichever target the client runs
// on, with names for the ones the driver and the transports answer.
#pragma once

#include <cstdint>
#include <string>

namespace vexclient {

using NtStatus = int32_t;

constexpr NtStatus kStatusSuccess = 0;
constexpr NtStatus kStatusTimeout = 0x00000102;
constexpr NtStatus kStatusNoMoreEntries = static_cast<NtStatus>(0x8000001Au);
constexpr NtStatus kStatusInvalidParameter = static_cast<NtStatus>(0xC000000Du);
constexpr NtStatus kStatusBufferTooSmall = static_cast<NtStatus>(0xC0000023u);

// Success and informational values are not negative; warnings (such as the empty log's
// STATUS_NO_MORE_ENTRIES) and errors are, as NT_SUCCESS says.
constexpr bool Succeeded(NtStatus status) { return status >= 0; }

// "0xC000000D STATUS_INVALID_PARAMETER", or the hexadecimal value alone for a status without a
// name here.
std::string DescribeStatus(NtStatus status);

}  // namespace vexclient
