#include "tools/vexsim-run/time_of_day.h"

#include <cstdio>

namespace vexrun {

std::string FormatTimeOfDay(int64_t localTime)
{
    constexpr int64_t kTicksPerSecond = 10000000;
    constexpr int64_t kTicksPerDay = 86400 * kTicksPerSecond;
    int64_t ticks = ((localTime % kTicksPerDay) + kTicksPerDay) % kTicksPerDay;
    int64_t seconds = ticks / kTicksPerSecond;
    int hour = static_cast<int>(seconds / 3600);
    int hour12 = hour % 12 == 0 ? 12 : hour % 12;
    char text[40];
    std::snprintf(text, sizeof(text), "%d:%02d:%02d.%07lld %s", hour12, static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60), static_cast<long long>(ticks % kTicksPerSecond), hour < 12 ? "AM" : "PM");
    return text;
}

}  // namespace vexrun
