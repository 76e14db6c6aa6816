// Fuzzes update-all's --ports parser: an accepted list names each port of 1 to
// 255 once, and writing that list back out gives a text that parses to it again.
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/PortList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text((const char *)data, size);
  std::vector<int> ports = {999};  // whatever was there is replaced
  if (!portList_parse(text, &ports)) return 0;
  if (ports.empty()) abort();
  for (int port : ports)
    if (port < 1 || port > 255) abort();
  std::vector<int> sorted = ports;
  std::sort(sorted.begin(), sorted.end());
  if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) abort();

  std::string again;
  for (int port : ports) again += (again.empty() ? "" : ",") + std::to_string(port);
  std::vector<int> reparsed;
  if (!portList_parse(again, &reparsed) || reparsed != ports) abort();
  return 0;
}
