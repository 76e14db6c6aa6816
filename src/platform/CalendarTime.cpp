#include "platform/CalendarTime.h"

void calendarTime_fields(time_t when, bool utc, struct tm *fields) {
#ifdef _WIN32
  if (utc) gmtime_s(fields, &when);
  else localtime_s(fields, &when);
#else
  if (utc) gmtime_r(&when, fields);
  else localtime_r(&when, fields);
#endif
}
