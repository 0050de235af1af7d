// RtlTimeToTimeFields: 100 ns units since 1601-01-01 UTC to a proleptic Gregorian date and time.
#include "platform/platform.h"

namespace {

constexpr LONGLONG kTicksPerMillisecond = 10000;
constexpr LONGLONG kMillisecondsPerDay = 86400000;

// Floor division, so times before 1601 land on the day they belong to.
constexpr LONGLONG FloorDivide(LONGLONG value, LONGLONG divisor)
{
    LONGLONG quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

// Days from 0000-03-01 to the given date. Counting years from March puts the leap day last, so
// the month lengths of the year's first eleven months never change.
constexpr LONGLONG DaysSinceMarchFirstOfYearZero(LONGLONG year, LONGLONG month, LONGLONG day)
{
    LONGLONG marchYear = month <= 2 ? year - 1 : year;
    LONGLONG era = FloorDivide(marchYear, 400);
    LONGLONG yearOfEra = marchYear - era * 400;
    LONGLONG monthFromMarch = month > 2 ? month - 3 : month + 9;
    LONGLONG dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
    LONGLONG dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra;
}

constexpr LONGLONG kDaysFromMarchZeroTo1601 = DaysSinceMarchFirstOfYearZero(1601, 1, 1);

}  // namespace

extern "C" VOID NTAPI RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields)
{
    LONGLONG milliseconds = FloorDivide(Time->QuadPart, kTicksPerMillisecond);
    LONGLONG days = FloorDivide(milliseconds, kMillisecondsPerDay);
    LONGLONG millisecondOfDay = milliseconds - days * kMillisecondsPerDay;

    // 1601-01-01 was a Monday (weekday 1).
    TimeFields->Weekday = static_cast<CSHORT>(days + 1 - FloorDivide(days + 1, 7) * 7);

    LONGLONG sinceMarchZero = days + kDaysFromMarchZeroTo1601;
    LONGLONG era = FloorDivide(sinceMarchZero, 146097);
    LONGLONG dayOfEra = sinceMarchZero - era * 146097;
    LONGLONG yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    LONGLONG dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    LONGLONG monthFromMarch = (5 * dayOfYear + 2) / 153;
    LONGLONG day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    LONGLONG month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    LONGLONG year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    TimeFields->Year = static_cast<CSHORT>(year);
    TimeFields->Month = static_cast<CSHORT>(month);
    TimeFields->Day = static_cast<CSHORT>(day);
    TimeFields->Hour = static_cast<CSHORT>(millisecondOfDay / 3600000);
    TimeFields->Minute = static_cast<CSHORT>(millisecondOfDay / 60000 % 60);
    TimeFields->Second = static_cast<CSHORT>(millisecondOfDay / 1000 % 60);
    TimeFields->Milliseconds = static_cast<CSHORT>(millisecondOfDay % 1000);
}
