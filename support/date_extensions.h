// Shifts of dates between UTC and the local time zone, and dates from the reference date.
//
//   os::Date now{os::clock::now()};
//   os::Date wallClock = ExtendTool::utcToLocalDate(now);   // now + the zone's offset
//
// The local time zone is the C library's: the TZ environment variable when set (read again on
// every call), else /etc/localtime. The offset is the one in force at the date given, so
// daylight-saving time is taken into account.
#pragma once

#include "os/value/value.h"

namespace ExtendTool {

// 1970-01-01 00:00:00 UTC.
os::Date utcSinceDate();

// `date` plus the local time zone's offset from UTC at that date.
os::Date utcToLocalDate(os::Date date);
// `date` minus the local time zone's offset from UTC at that date.
os::Date localToUtcDate(os::Date date);
// The same shifts by the process's default time zone, which on this system is the local one.
os::Date toLocalTime(os::Date date);
os::Date toGlobalTime(os::Date date);

// The date `seconds` after 2001-01-01 00:00:00 UTC.
os::Date getDateTimeFromTimeStamp2001(double seconds);

}  // namespace ExtendTool
