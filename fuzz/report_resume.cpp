// Fuzzes where a watch goes on with a report it finds on the disk: whatever
// the file holds, read whole or only its end, the part kept lies within it, is
// the same whichever way it was read when the end read holds a whole record
// (and a CSV report's columns are the same), and a report found whole keeps
// every byte.
//
// The first byte chooses the form (JSON or CSV) and how much of the end is
// read; the rest is the file.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "fleet/GrowingReport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const bool json = data[0] & 1;
  const std::string file((const char *)data + 1, size - 1);
  const size_t tailLength = file.size() * (data[0] >> 1) / 127;
  const long long tailOffset = (long long)(file.size() - tailLength);
  ReportResume whole, tail;
  std::string why;
  const bool wholeOk = fleet_reportResume(json, file.substr(0, 4096), file, 0, &whole, &why);
  const bool tailOk = fleet_reportResume(json, file.substr(0, 4096), file.substr(tailOffset),
                                         tailOffset, &tail, &why);
  for (const ReportResume *r : {&whole, &tail}) {
    if ((r == &whole ? !wholeOk : !tailOk)) continue;
    if (r->keep < 0 || r->keep > (long long)file.size()) abort();
    // Found whole, it is kept whole: the JSON report's closing lines after what is kept.
    const long long closing = !json ? 0 : r->empty ? 4 : 7;
    if (r->whole && r->keep + closing != (long long)file.size()) abort();
  }
  // Found in the end read, the last whole record is the one the whole read finds.
  if (tailOk && wholeOk && !tail.empty && tail.keep != whole.keep) abort();
  // A CSV report's columns come from its header, whichever way its end was read.
  if (tailOk && wholeOk && tail.columns != whole.columns) abort();
  return 0;
}
