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

// The footer's and the page's rate and the page's bars are measured on each
// run's clock (run_started + run_seconds): a wall clock set back or forward
// an hour within a run moves none of them. A line without those keys (older,
// or with a run_started that is no time) is measured by started and finished.
TEST(HistoryPage, RatesAndBarsAreMeasuredOnTheRunsClock) {
  // An updated unit of 300 s: started and finished on the wall clock, then its run's keys.
  auto unit = [](const std::string &started, const std::string &finished, const std::string &run) {
    return "{\"result\":\"updated\",\"slot\":\"COM1\",\"started\":\"2026-12-09T" + started +
           "Z\",\"finished\":\"2026-12-09T" + finished + "Z\",\"seconds\":300.0" + run + "}\n";
  };
  const std::string at8 = ",\"run_started\":\"2026-12-09T08:00:00Z\",\"run_seconds\":";
  const struct {
    std::string lines;
    const char *rate, *span, *bars;
  } cases[] = {
      // The second unit begins 360 s into the run, after the clock went back an hour ...
      {unit("08:00:00", "08:05:00", at8 + "0.0") + unit("07:06:00", "07:11:00", at8 + "360.0"),
       "10.9", "11:00", " 08:2"},
      // ... or forward one.
      {unit("08:00:00", "08:05:00", at8 + "0.0") + unit("09:06:00", "09:11:00", at8 + "360.0"),
       "10.9", "11:00", " 08:2"},
      // Older lines: the wall clock's times, the hour in them.
      {unit("08:00:00", "08:05:00", "") + unit("07:06:00", "07:11:00", ""), "2.0", "59:00",
       " 07:1 08:1"},
      {unit("08:00:00", "08:05:00", at8 + "0.0") + unit("08:10:00", "08:20:00", ""), "6.0", "20:00",
       " 08:2"},
      {unit("08:00:00", "08:05:00", at8 + "0.0") +
           unit("07:06:00", "07:11:00", ",\"run_started\":\"08:00\",\"run_seconds\":360.0"),
       "2.0", "59:00", " 07:1 08:1"},
      // Tenths add up: 0.4 s into the run, 300 s; 2,000.6 s in, 300 s.
      {unit("08:00:00", "08:05:00", at8 + "0.4") + unit("08:33:20", "08:38:21", at8 + "2000.6"),
       "3.1", "38:20", " 08:2"},
  };
  for (const auto &c : cases) {
    HistoryPage page("h.jsonl", "");
    HistoryFooter footer;
    HistoryReader reader(
        [&](const HistoryEntry &e) {
          page.add(e);
          footer.add(e);
        },
        [](size_t, HistorySkip) {});
    reader.feed(c.lines.data(), c.lines.size());
    EXPECT_EQ(footer.lines()[1], std::string("median time per updated unit 5:00; updated units per hour ") +
                                     c.rate + " (2 of 2 updated in " + c.span +
                                     " from the first start to the last end)")
        << &c - cases;
    EXPECT_NE(page.html().find(std::string("id=\"rate\"><b>") + c.rate + "</b>"), std::string::npos)
        << &c - cases;
    std::string bars;
    for (const HistoryPageBar &bar : page.bars())
      bars += " " + fleet_utcText(bar.start, "%H") + ":" + std::to_string(bar.counts.total());
    EXPECT_EQ(bars, c.bars) << &c - cases;
  }
}
