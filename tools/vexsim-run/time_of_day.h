// The time of day as Process Monitor shows it, from a local time in 100 ns units since 1601:
// "10:17:42.1234567 AM". Host code only.
#pragma once

#include <cstdint>
#include <string>

namespace vexrun {

std::string FormatTimeOfDay(int64_t localTime);

}  // namespace vexrun
