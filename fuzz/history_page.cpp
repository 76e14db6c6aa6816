// Fuzzes `history --html`'s page over whatever a history file holds: every
// record counted, at most HISTORY_PAGE_ROWS listed, at most HISTORY_PAGE_BARS
// bars, and no markup but the page's own: each tag in the page is one the
// page writes, whatever a label, slot or message held.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <string>

#include "fleet/HistoryPage.h"

static const std::set<std::string> kPageTags = {
    "!DOCTYPE", "html", "head", "meta", "title",   "style", "body", "h1",
    "h2",       "p",    "div",  "b",    "section", "svg",   "line", "text",
    "g",        "rect", "i",    "span", "table",   "tr",    "th",   "td"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  HistoryPage page("h.jsonl", std::string((const char *)data, size < 64 ? size : 64));
  size_t records = 0;
  HistoryReader reader(
      [&](const HistoryEntry &e) {
        records++;
        page.add(e);
      },
      [&](size_t, HistorySkip why) { page.skipped(why); });
  reader.feed((const char *)data, size);
  reader.end();
  const std::string html = page.html();
  size_t rows = 0;
  for (size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
    const size_t from = at + 1 + (html[at + 1] == '/');
    const size_t end = html.find_first_of(" >", from);
    if (end == std::string::npos || kPageTags.count(html.substr(from, end - from)) == 0) abort();
    rows += html.compare(at, 17, "<tr class=\"unit\">") == 0;
  }
  if (page.units() != records ||
      rows != (records < HISTORY_PAGE_ROWS ? records : HISTORY_PAGE_ROWS) ||
      page.bars().size() > HISTORY_PAGE_BARS)
    abort();
  return 0;
}
