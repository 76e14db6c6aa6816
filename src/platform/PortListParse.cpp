// The port numbers of a command line's list, and the words for a port's state.
#include <stdlib.h>

#include <algorithm>

#include "platform/PortList.h"

bool portList_parse(const std::string &text, std::vector<int> *ports) {
  ports->clear();
  size_t at = 0;
  while (at < text.size()) {
    size_t comma = text.find(',', at);
    std::string item = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    at = comma == std::string::npos ? text.size() : comma + 1;
    char *end = NULL;
    long first = strtol(item.c_str(), &end, 10), last = first;
    if (end == item.c_str()) return false;
    if (*end == '-') {
      const char *from = end + 1;
      last = strtol(from, &end, 10);
      if (end == from) return false;
    }
    if (*end != '\0' || first < 1 || last > PORT_LIST_LAST_COM || last < first) return false;
    for (long port = first; port <= last; port++)
      if (std::find(ports->begin(), ports->end(), (int)port) == ports->end()) ports->push_back((int)port);
    if (comma != std::string::npos && at == text.size()) return false;  // a trailing comma
  }
  return !ports->empty();
}

const char *portList_stateName(PortState state) {
  switch (state) {
    case PORT_FREE: return "free";
    case PORT_BUSY: return "busy";
    case PORT_DENIED: return "denied";
    default: return "absent";
  }
}
