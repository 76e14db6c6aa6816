// The lines that say why ports gave no unit, shared by probe, update and
// update-all.
#include <stdio.h>

#include "platform/PortList.h"
#include "platform/ToolName.h"

bool openFailures_isAbsent(const std::string &text) { return text.compare(0, 6, "absent") == 0; }

void openFailures_print(const std::vector<std::pair<int, std::string>> &failures) {
  for (size_t i = 0; i < failures.size(); i++) {
    const int first = failures[i].first;
    size_t last = i;
    if (openFailures_isAbsent(failures[i].second)) {
      while (last + 1 < failures.size() && openFailures_isAbsent(failures[last + 1].second) &&
             failures[last + 1].first == failures[last].first + 1)
        last++;
    }
    if (last > i) {
      fprintf(stderr, TOOL_NAME ": COM%d to COM%d: absent\n", first, failures[last].first);
      i = last;
    } else {
      fprintf(stderr, TOOL_NAME ": COM%d: %s\n", first, failures[i].second.c_str());
    }
  }
}

void openFailures_printRange(int firstPort, int lastPort) {
  std::vector<std::pair<int, std::string>> failures;
  for (int port = firstPort; port <= lastPort; port++) {
    std::string text = openFailures_text(port);
    if (!text.empty()) failures.emplace_back(port, text);
  }
  openFailures_print(failures);
}
