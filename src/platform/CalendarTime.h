// A moment as calendar fields, the same call on every platform.
#ifndef CALENDARTIME_H
#define CALENDARTIME_H

#include <time.h>

// `when` broken down in UTC (utc true) or in the local time zone.
void calendarTime_fields(time_t when, bool utc, struct tm *fields);

#endif  // CALENDARTIME_H
