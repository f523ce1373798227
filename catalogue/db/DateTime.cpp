#include "DateTime.h"

#include "DbError.h"

#include <cstdint>
#include <cstdio>

namespace {

// Days from 1 January of year 0 (proleptic Gregorian) for a civil date.
std::int64_t DaysFromCivil(std::int64_t AYear, unsigned AMonth, unsigned ADay) {
    AYear -= AMonth <= 2;
    const std::int64_t Era = (AYear >= 0 ? AYear : AYear - 399) / 400;
    const auto YearOfEra = static_cast<unsigned>(AYear - Era * 400);
    const unsigned DayOfYear = (153 * (AMonth + (AMonth > 2 ? -3 : 9)) + 2) / 5 + ADay - 1;
    const unsigned DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
    return Era * 146097 + static_cast<std::int64_t>(DayOfEra);
}

} // namespace

void CheckDateTime(TDateTime AValue) {
    // 1 January 100 .. the last moment of 31 December 9999.
    if (!(AValue >= -657434.0 && AValue < 2958466.0)) {
        char Buffer[96];
        std::snprintf(Buffer, sizeof Buffer, "'%g' is not a valid date and time", AValue);
        throw TDatabaseError(Buffer);
    }
}

TDateTime EncodeDateTime(int AYear, int AMonth, int ADay, int AHour, int AMinute, int ASecond) {
    const std::int64_t Days = DaysFromCivil(AYear, static_cast<unsigned>(AMonth),
                                            static_cast<unsigned>(ADay)) -
                              DaysFromCivil(1899, 12, 30);
    const double Time = (AHour * 3600.0 + AMinute * 60.0 + ASecond) / 86400.0;
    // Before 1899-12-30 the time of day still counts forward from the day's start.
    return Days >= 0 ? static_cast<double>(Days) + Time : static_cast<double>(Days) - Time;
}

bool ParseDateText(std::string_view AText, TDateTime& AValue) {
    std::size_t Pos = 0;
    const auto Digits = [&](std::size_t ACount, int& ANumber) {
        if (Pos + ACount > AText.size())
            return false;
        ANumber = 0;
        for (std::size_t I = 0; I < ACount; ++I) {
            const char C = AText[Pos + I];
            if (C < '0' || C > '9')
                return false;
            ANumber = ANumber * 10 + (C - '0');
        }
        Pos += ACount;
        return true;
    };
    const auto Literal = [&](char AChar) {
        if (Pos >= AText.size() || AText[Pos] != AChar)
            return false;
        ++Pos;
        return true;
    };
    int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
    if (!Digits(4, Year) || !Literal('-') || !Digits(2, Month) || !Literal('-') || !Digits(2, Day))
        return false;
    if (Pos < AText.size()) {
        if (!(Literal(' ') || Literal('T')) || !Digits(2, Hour) || !Literal(':') ||
            !Digits(2, Minute))
            return false;
        if (Pos < AText.size() && (!Literal(':') || !Digits(2, Second)))
            return false;
        if (Pos != AText.size())
            return false;
    }
    static constexpr int MonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Year < 100 || Month < 1 || Month > 12 || Hour > 23 || Minute > 59 || Second > 59)
        return false;
    const bool Leap = (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0;
    const int Days = MonthDays[Month - 1] + (Month == 2 && Leap ? 1 : 0);
    if (Day < 1 || Day > Days)
        return false;
    AValue = EncodeDateTime(Year, Month, Day, Hour, Minute, Second);
    return true;
}
