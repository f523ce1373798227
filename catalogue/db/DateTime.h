// Date-times as the catalogue stores them: OLE Automation dates, a double counting days since
// 30 December 1899, the fraction being the time of day (before that day the time of day still
// counts forward from the day's start: -1.25 is 29 December 1899, 06:00).
#pragma once

#include <string_view>

using TDateTime = double;

// Throws TDatabaseError("'%g' is not a valid date and time") for NaN and values outside
// 1 January 100 .. the last moment of 31 December 9999.
void CheckDateTime(TDateTime AValue);

TDateTime EncodeDateTime(int AYear, int AMonth, int ADay, int AHour = 0, int AMinute = 0,
                         int ASecond = 0);

// A date other tools stored as text: exactly "YYYY-MM-DD", optionally followed by " HH:MM" or
// " HH:MM:SS" (a "T" may stand for the blank); the date must exist and nothing may follow.
// False for anything else.
bool ParseDateText(std::string_view AText, TDateTime& AValue);
