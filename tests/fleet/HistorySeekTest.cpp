// A history read for a time window seeks its start and stops past its end:
// it must choose exactly what a reading of the whole file chooses.
#include <gtest/gtest.h>
#include <stdio.h>
#include <time.h>

#include <random>
#include <string>
#include <vector>

#include "fleet/StationHistory.h"

static const time_t kDay0 = 1798761600;  // 2027-01-01T00:00:00Z

static std::string line(const std::string &label, time_t finished) {
  char when[32];
  strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", gmtime(&finished));
  return "{\"result\":\"updated\",\"label\":\"" + label + "\",\"finished\":\"" + when + "\"}\n";
}

// The labels chosen (and " sN" for line N skipped), reading PATH with the
// filter (seeking) or whole with every record tested.
static std::string chosen(const std::string &path, const HistoryFilter &f, bool seek,
                          bool skips = true) {
  std::string got;
  HistoryReader reader(
      [&](const HistoryEntry &e) {
        if (historyFilter_matches(f, e)) got += " " + e.record.label;
      },
      [&](size_t number, HistorySkip) { got += skips ? " s" + std::to_string(number) : ""; });
  std::string error;
  EXPECT_TRUE(stationHistory_read(path, reader, &error, NULL, seek ? &f : NULL)) << error;
  return got;
}

static std::string written(const std::string &text) {
  const std::string path = testing::TempDir() + "history-seek.jsonl";
  FILE *file = fopen(path.c_str(), "wb");
  return fwrite(text.data(), 1, text.size(), file), fclose(file), path;
}

static HistoryFilter window(time_t since, time_t until, const char *label = "") {
  HistoryFilter f;
  return f.since = since, f.until = until, f.label = label, f;
}

TEST(HistorySeek, WindowReadingsSeekAndChooseWhatAWholeReadingDoes) {
  const time_t h = 3600, d = 86400;
  std::string days;  // a record every hour for 20 days, neighbours swapped
  for (int i = 0; i < 480; i++) days += line("L" + std::to_string(i), kDay0 + (i ^ 1) * h);
  const std::string torn = "{\"result\":\"upd";
  struct Case {
    std::string text;
    HistoryFilter filter;
    const char *expected;  // nullptr: as the whole reading
  } cases[] = {
      {"", window(kDay0, -1), ""},
      {days, window(kDay0 + 10 * d, kDay0 + 10 * d + 2 * h), " L240 L241 L243"},
      {days, window(kDay0 + 10 * d + 1, kDay0 + 10 * d + 2 * h, "L243"), " L243"},
      {days, window(kDay0 + 30 * d, -1), ""},       // every record before --since
      {days, window(-1, kDay0 - 1), ""},            // every record after --until
      {days, window(kDay0 + 19 * d, -1), nullptr},  // the last day
      {days, window(-1, kDay0 + h), " L0 L1"},
      // A torn first line is named when the reading starts there, a torn last
      // line when it ends there; a bad line inside the window by its number.
      {torn + "\n" + days, window(kDay0, kDay0 + h), " s1 L0 L1"},
      {torn + "\n" + days, window(kDay0 + 5 * d, kDay0 + 5 * d), " L121"},
      {days + torn, window(kDay0 + 19 * d, -1), nullptr},
      {days.substr(0, days.find('\n', 24000) + 1) + "[]\n" + days.substr(days.find('\n', 24000) + 1),
       window(kDay0 + 10 * d, -1), nullptr},
  };
  for (const Case &c : cases) {
    const std::string path = written(c.text), seek = chosen(path, c.filter, true);
    EXPECT_EQ(seek, c.expected ? c.expected : chosen(path, c.filter, false)) << &c - cases;
    EXPECT_TRUE(c.expected || !seek.empty()) << &c - cases;
  }
  // Random histories: out of order by up to a day, torn and foreign lines
  // among them, random windows; the records chosen are the whole reading's.
  std::mt19937 random(7);
  for (int round = 0; round < 60; round++) {
    std::string text;
    const int count = (int)(random() % 400);
    for (int i = 0; i < count; i++) {
      const time_t when = kDay0 + i * 600 + (time_t)(random() % d);
      const unsigned kind = random() % 40;
      text += kind == 0 ? torn + "\n" : kind == 1 ? "\n" : line("L" + std::to_string(i), when);
    }
    if (random() % 2) text += torn;
    const time_t span = count * 600 + d;
    const time_t since = random() % 3 ? kDay0 - d + (time_t)(random() % (span + d)) : -1;
    const time_t from = since < 0 ? kDay0 - d : since;
    const time_t until = since < 0 || random() % 2 ? from + (time_t)(random() % span) : -1;
    const std::string path = written(text);
    const HistoryFilter f = window(since, until);
    // The records only: a seek does not name bad lines before its start.
    EXPECT_EQ(chosen(path, f, true, false), chosen(path, f, false, false))
        << round << " " << since << " " << until;
  }
}

// The footer's median comes from a count of each value, not a list of every unit.
TEST(HistorySeek, FooterMedianFromCountedValues) {
  const std::pair<std::vector<double>, const char *> cases[] = {
      {{300}, "5:00"}, {{60, 300}, "3:00"}, {{300, 60, 60}, "1:00"},
      {{95.5, 95.5, 95.5, 120, 30, 30}, "1:36"}, {{10, 70, 70, 100}, "1:10"}};
  for (const auto &c : cases) {
    HistoryFooter footer;
    for (double seconds : c.first) {
      HistoryEntry e;
      e.result = "updated", e.record.result = FLEET_RESULT_UPDATED, e.record.seconds = seconds;
      footer.add(e);
    }
    const std::string line = footer.lines()[1];
    EXPECT_EQ(line.substr(0, line.find(';')), std::string("median time per updated unit ") + c.second)
        << &c - cases;
  }
}
