#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fleet/HistoryPage.h"

// A history line of RESULT at SLOT, finished at FINISHED after SECONDS.
static std::string unitLine(const std::string &result, const std::string &slot,
                            const std::string &finished, double seconds = 100,
                            const std::string &label = "") {
  return "{\"result\":\"" + result + "\",\"slot\":\"" + slot + "\",\"label\":\"" + label +
         "\",\"started\":\"" + finished + "\",\"finished\":\"" + finished +
         "\",\"seconds\":" + std::to_string(seconds) + "}\n";
}

// PAGE with the records of LINES counted, as the command reads them.
static void feed(HistoryPage &page, const std::string &lines) {
  HistoryReader reader([&page](const HistoryEntry &e) { page.add(e); }, [](size_t, HistorySkip) {});
  reader.feed(lines.data(), lines.size());
  reader.end();
}

static size_t occurrences(const std::string &text, const std::string &piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) n++;
  return n;
}

TEST(HistoryPage, OutsideTextsAreEscaped) {
  const struct {
    const char *text, *html;
  } cases[] = {
      {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"\"><img src=x onerror=alert(1)>", "&quot;&gt;&lt;img src=x onerror=alert(1)&gt;"},
      {"a&b's", "a&amp;b&#39;s"},
      {"SN\x1b]0;x\x07", "SN\\x1b]0;x\\x07"},
      {"Z\xc3\xbcrich 3", "Z\xc3\xbcrich 3"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(historyPage_escape(c.text), c.html) << c.text;
    // In every place a record's text reaches: the slot's row and attribute, the label, the message.
    HistoryPage page("h<1>.jsonl", std::string("--label ") + c.text);
    nlohmann::json line = {{"result", "failed"},
                           {"slot", c.text},
                           {"label", c.text},
                           {"message", c.text},
                           {"finished", "2026-12-09T08:00:00Z"}};
    feed(page, line.dump() + "\n");
    const std::string html = page.html();
    EXPECT_EQ(occurrences(html, c.html), 6u)
        << c.text;  // heading, slot row (text, attribute), unit row (slot, label, message)
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_NE(html.find("h&lt;1&gt;.jsonl"), std::string::npos);
  }
}

TEST(HistoryPage, CountsUnitsByBarSlotAndResult) {
  HistoryPage page("h.jsonl", "");
  feed(page, unitLine("updated", "usb:1-1.1", "2026-12-09T08:05:00Z", 290) +
                 unitLine("updated", "usb:1-1.2", "2026-12-09T08:59:59Z", 300) +
                 unitLine("failed", "usb:1-1.2", "2026-12-09T08:30:00Z", 40) +
                 unitLine("current", "usb:1-1.1", "2026-12-09T10:00:00Z", 20) +
                 unitLine("updated", "usb:1-1.1", "2026-12-09T10:10:00Z", 310) +
                 unitLine("later-word", "COM3", "2026-12-09T10:20:00Z") +
                 unitLine("interrupted", "COM3", "not a time"));
  std::string bars;
  for (const HistoryPageBar &bar : page.bars()) {
    bars += " " + fleet_utcText(bar.start, "%H") + ":";
    for (size_t n : bar.counts.of) bars += std::to_string(n);
  }
  EXPECT_EQ(bars, " 08:20100 09:00000 10:11001");  // updated, current, failed, interrupted, other
  EXPECT_EQ(page.barSeconds(), 3600);
  std::string slots;
  for (const auto &slot : page.slots()) {
    slots += " " + slot.first + ":";
    for (size_t n : slot.second.of) slots += std::to_string(n);
  }
  EXPECT_EQ(slots, " COM3:00011 usb:1-1.1:21000 usb:1-1.2:10100");
  EXPECT_EQ(page.medianSeconds(), 300);
  const std::string html = page.html();
  EXPECT_NE(html.find("<tr class=\"slot worst\" data-slot=\"usb:1-1.2\">"), std::string::npos);
  EXPECT_NE(html.find("<td class=\"n yield\">50.0 %</td>"), std::string::npos);
  EXPECT_NE(html.find("1 units without a time to finish are not in the chart"), std::string::npos);
}

TEST(HistoryPage, LongerSpansGetWiderBars) {
  const struct {
    const char *last;
    long long barSeconds;
    size_t bars;
  } cases[] = {
      {"2026-12-09T00:00:00Z", 3600, 1},
      {"2026-12-15T23:59:59Z", 3600, 168},      // a week of hours
      {"2026-12-16T00:00:00Z", 2 * 3600, 85},   // a week and an hour
      {"2027-01-08T00:00:00Z", 6 * 3600, 121},  // a month
      {"2027-12-09T00:00:00Z", 7 * 86400, 53},  // a year
      {"2036-12-09T00:00:00Z", 28 * 86400, 132},
  };
  for (const auto &c : cases) {
    HistoryPage page("h.jsonl", "");
    feed(page,
         unitLine("updated", "COM1", "2026-12-09T00:00:00Z") + unitLine("failed", "COM1", c.last));
    EXPECT_EQ(page.barSeconds(), c.barSeconds) << c.last;
    const std::vector<HistoryPageBar> bars = page.bars();
    ASSERT_EQ(bars.size(), c.bars) << c.last;
    size_t units = 0;
    for (const HistoryPageBar &bar : bars) units += bar.counts.total();
    EXPECT_EQ(units, 2u) << c.last;
  }
}

TEST(HistoryPage, ListsTheLastThousandUnitsAndSaysHowManyAreLeftOut) {
  HistoryPage page("h.jsonl", "");
  std::string lines;
  for (int i = 0; i < HISTORY_PAGE_ROWS + 5; i++)
    lines +=
        unitLine("updated", "COM1", "2026-12-09T08:00:00Z", 100, "L" + std::to_string(i) + "-");
  lines += unitLine("updated", "COM1", "2026-12-09T08:00:00Z", 100, std::string(300, 'x'));
  feed(page, lines);
  const std::string html = page.html();
  EXPECT_EQ(page.rowsLeftOut(), 6u);
  EXPECT_EQ(occurrences(html, "<tr class=\"unit\">"), (size_t)HISTORY_PAGE_ROWS);
  EXPECT_NE(html.find("The last 1,000 of 1,006 units; the 6 before them"), std::string::npos);
  EXPECT_EQ(html.find(">L5-<"), std::string::npos);
  EXPECT_LT(html.find(">L6-<"), html.find(">L1004-<"));  // newest last
  EXPECT_NE(html.find(">" + std::string(HISTORY_PAGE_TEXT_MAX, 'x') + "\u2026<"),
            std::string::npos);
}

// Rate (page, footer) and bars on each run's clock; lines without its keys (or time) on the wall's.
TEST(HistoryPage, RatesAndBarsAreMeasuredOnTheRunsClock) {
  auto u = [](const char *wall, const std::string &keys) {  // updated in 300 s, at WALL
    std::string line = unitLine("updated", "COM1", std::string("2026-12-09T") + wall + ":00Z", 300);
    return line.insert(line.size() - 2, keys);
  };
  const std::string at8 = ",\"run_started\":\"2026-12-09T08:00:00Z\",\"run_seconds\":",
                    no = ",\"run_started\":\"8:00\",\"run_seconds\":";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {u("08:05", at8 + "0.0") + u("07:11", at8 + "360.0"), "10.9 (2 of 2 updated in 11:00 08:2"},
      {u("08:05", "") + u("07:11", ""), "2.2 (2 of 2 updated in 54:00 07:1 08:1"},
      {u("08:05", no + "0.0") + u("07:11", no + "360.0"), "2.2 (2 of 2 updated in 54:00 07:1 08:1"},
      {u("08:05", at8 + "0.4") + u("08:38", at8 + "2000.6"), "3.1 (2 of 2 updated in 38:20 08:2"},
  };
  for (const auto &c : cases) {
    HistoryPage page("h.jsonl", "");
    feed(page, c.first);
    const std::string html = page.html(), rate = c.second.substr(0, c.second.find(' '));
    std::string got = html.find("id=\"rate\"><b>" + rate + "</b>") == std::string::npos ? "" : rate;
    got += html.substr(html.find(" (2 of 2"), 25);
    for (const HistoryPageBar &bar : page.bars())
      got += " " + fleet_utcText(bar.start, "%H") + ":" + std::to_string(bar.counts.total());
    EXPECT_EQ(got, c.second) << c.first;
  }
}
