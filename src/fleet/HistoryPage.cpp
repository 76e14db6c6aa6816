// The station history as a page: counted as it streams, written as HTML.
#include "fleet/HistoryPage.h"

#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>

#include "fleet/FleetReport.h"
#include "platform/Files.h"
#include "platform/PrintableText.h"

std::string historyPage_escape(const std::string &text) { return printableText_html(text); }

size_t HistoryPageCounts::total() const {
  size_t sum = 0;
  for (size_t n : of) sum += n;
  return sum;
}

// What each result is called, its colour and its symbol (colour is never
// the only sign of a result).
static const struct {
  const char *name, *colour, *symbol;
} kPageResults[HISTORY_PAGE_RESULTS] = {
    {"updated", "#2e7d32", "\u2714"},      // check mark
    {"current", "#1565c0", "="},           // runs the release already
    {"failed", "#c62828", "\u2716"},       // heavy cross
    {"interrupted", "#ef6c00", "\u2016"},  // double bar: stopped
    {"other", "#757575", "?"},
};

static HistoryPageResult pageResult(const std::string &result) {
  for (int r = 0; r < HISTORY_PAGE_OTHER; r++)
    if (result == kPageResults[r].name) return (HistoryPageResult)r;
  return HISTORY_PAGE_OTHER;
}

// TEXT cut to HISTORY_PAGE_TEXT_MAX bytes, at a character's start, with an
// ellipsis when cut.
static std::string keptText(const std::string &text) {
  if (text.size() <= HISTORY_PAGE_TEXT_MAX) return text;
  size_t cut = HISTORY_PAGE_TEXT_MAX;
  while (cut > 0 && ((unsigned char)text[cut] & 0xC0) == 0x80) cut--;
  return text.substr(0, cut) + "\u2026";
}

// The bar widths, in hours, that a longer span moves up through; past the
// last, each width is twice the one before.
static const long long kBarHours[] = {1, 2, 3, 6, 12, 24, 48, 168};

static long long floorTo(long long when, long long step) {
  return (when >= 0 ? when : when - step + 1) / step * step;
}

void HistoryPage::widenBars() {
  long long wider = barSeconds_ * 2;
  for (long long hours : kBarHours)
    if (hours * 3600 > barSeconds_) {
      wider = hours * 3600;
      break;
    }
  barSeconds_ = wider;
  std::map<long long, HistoryPageCounts> merged;
  for (const auto &bar : bars_) {
    HistoryPageCounts &into = merged[floorTo(bar.first, barSeconds_)];
    for (int r = 0; r < HISTORY_PAGE_RESULTS; r++) into.of[r] += bar.second.of[r];
  }
  bars_.swap(merged);
}

void HistoryPage::add(const HistoryEntry &e) {
  const HistoryPageResult kind = pageResult(e.result);
  units_++;
  counts_.of[kind]++;
  footer_.add(e);
  // A bar counts the units by their end on their run's clock, as the rate
  // does: a clock set back an hour during a run piles no two hours' units
  // into one bar.
  if (e.runEnd >= 0) {
    bars_[floorTo((long long)e.runEnd, barSeconds_)].of[kind]++;
    while ((bars_.rbegin()->first - bars_.begin()->first) / barSeconds_ + 1 > HISTORY_PAGE_BARS)
      widenBars();
  } else {
    unTimed_++;
  }
  auto slot = slots_.find(e.slot);
  if (slot == slots_.end() && slots_.size() < HISTORY_PAGE_SLOTS)
    slot = slots_.emplace(e.slot, HistoryPageCounts()).first;
  (slot == slots_.end() ? otherSlots_ : slot->second).of[kind]++;
  if (kind == HISTORY_PAGE_UPDATED) updatedSeconds_[e.record.seconds]++;
  if (e.finished > lastEnd_) lastEnd_ = e.finished;
  if (e.finished >= 0 && (firstEnd_ < 0 || e.finished < firstEnd_)) firstEnd_ = e.finished;

  const FleetRecord &r = e.record;
  Row row;
  row.finished =
      e.finished >= 0 ? fleet_utcText(e.finished, "%Y-%m-%d %H:%M:%S") : keptText(r.finished);
  row.slot = keptText(e.slot), row.label = keptText(r.label), row.type = keptText(r.type);
  row.result = keptText(e.result), row.kind = kind, row.seconds = r.seconds;
  row.firmware = keptText(r.firmwareBefore.empty() ? "-" : r.firmwareBefore);
  if (!r.firmwareAfter.empty()) row.firmware += " \u2192 " + keptText(r.firmwareAfter);
  if (!r.failedStep.empty() || !r.message.empty())
    row.why = keptText(r.failedStep + (r.failedStep.empty() || r.message.empty() ? "" : ": ") +
                       r.message);
  if (rows_.size() < HISTORY_PAGE_ROWS) {
    rows_.push_back(std::move(row));
  } else {
    rows_[next_] = std::move(row);
    next_ = (next_ + 1) % HISTORY_PAGE_ROWS;
  }
}

std::vector<HistoryPageBar> HistoryPage::bars() const {
  std::vector<HistoryPageBar> bars;
  if (bars_.empty()) return bars;
  for (long long at = bars_.begin()->first; at <= bars_.rbegin()->first; at += barSeconds_) {
    auto it = bars_.find(at);
    bars.push_back({(time_t)at, it == bars_.end() ? HistoryPageCounts() : it->second});
  }
  return bars;
}

double HistoryPage::medianSeconds() const {
  const size_t n = counts_.of[HISTORY_PAGE_UPDATED];
  if (n == 0) return -1;
  // The values at places (n - 1) / 2 and n / 2 in order.
  double low = 0, high = 0;
  size_t before = 0;
  for (const auto &value : updatedSeconds_) {
    if (before <= (n - 1) / 2 && (n - 1) / 2 < before + value.second) low = value.first;
    if (before <= n / 2 && n / 2 < before + value.second) high = value.first;
    before += value.second;
  }
  return (low + high) / 2;
}

// ---- The page ------------------------------------------------------------------------

// 100000 as "100,000".
static std::string grouped(size_t n) {
  std::string digits = std::to_string(n), text;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

static std::string formatted(const char *format, double value) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

static std::string minutesAndSeconds(double seconds) {
  const long long whole = (long long)(seconds + 0.5);
  char text[48];
  snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  return text;
}

static const char kStyle[] =
    "body{font:16px/1.4 system-ui,sans-serif;margin:1.5em;color:#212121;background:#fafafa}"
    "h1{font-size:1.8em;margin:0 0 .2em}h2{font-size:1.3em;margin:1.5em 0 .5em}"
    ".scope{color:#555;margin:0}.figures{display:flex;flex-wrap:wrap;gap:.8em;margin-top:1em}"
    ".figure{background:#fff;border:1px solid #ddd;border-radius:6px;padding:.5em 1em}"
    ".figure b{display:block;font-size:2em}"
    ".chart svg{width:100%;height:auto;background:#fff;border:1px solid #ddd}"
    ".chart text{font-size:13px;fill:#555}.legend span{margin-right:1.2em}"
    ".swatch{display:inline-block;width:.9em;height:.9em;margin-right:.3em;vertical-align:-.1em}"
    "table{border-collapse:collapse;background:#fff}"
    "th,td{border:1px solid #ddd;padding:.2em .5em;text-align:left;vertical-align:top}"
    "td.n{text-align:right}#rows td{white-space:nowrap}#rows td:last-child{white-space:normal}"
    ".split{display:flex;width:16em;height:1em;background:#eee}"
    ".split span{display:block;height:100%}"
    ".worst{background:#ffebee}.note{color:#555}.footer{margin-top:1.5em;color:#555}";

std::string HistoryPage::summaryHtml() const {
  std::string html = "<div class=\"figures\">";
  auto figure = [&html](const std::string &id, const std::string &value, const std::string &what) {
    html += "<div class=\"figure\" id=\"" + id + "\"><b>" + value + "</b>" + what + "</div>";
  };
  figure("units", grouped(units_), units_ == 1 ? "unit" : "units");
  for (int r = 0; r < HISTORY_PAGE_RESULTS; r++)
    if (r != HISTORY_PAGE_OTHER || counts_.of[r] > 0)
      figure(kPageResults[r].name, grouped(counts_.of[r]),
             std::string(kPageResults[r].symbol) + " " + kPageResults[r].name);
  const double median = medianSeconds();
  figure("median", median < 0 ? "-" : minutesAndSeconds(median), "median time per updated unit");
  // The footer's rate: units updated over the time from the first start to the last end.
  const double span = footer_.span();
  figure("rate",
         span > 0 ? formatted("%.1f", counts_.of[HISTORY_PAGE_UPDATED] * 3600.0 / span) : "-",
         "updated units per hour");
  return html + "</div>\n";
}

// The round number at or above N that the chart's scale ends at: 1, 2, 5 times a power of ten.
static size_t scaleTop(size_t n) {
  size_t power = 1;
  for (;;) {
    for (size_t step : {1, 2, 5})
      if (n <= step * power) return step * power;
    power *= 10;
  }
}

static std::string barWidthText(long long seconds) {
  if (seconds == 3600) return "hour";
  if (seconds < 86400) return std::to_string(seconds / 3600) + " hours";
  if (seconds == 86400) return "day";
  if (seconds % (7 * 86400) == 0)
    return seconds == 7 * 86400 ? "week" : std::to_string(seconds / (7 * 86400)) + " weeks";
  return std::to_string(seconds / 86400) + " days";
}

std::string HistoryPage::chartHtml() const {
  const std::vector<HistoryPageBar> bars = this->bars();
  std::string html = "<section class=\"chart\" id=\"chart\"><h2>Units per " +
                     barWidthText(barSeconds_) +
                     " by result (UTC, by the time each finished)</h2>\n";
  if (bars.empty()) return html + "<p class=\"note\">No unit with a time to show.</p></section>\n";
  size_t most = 1;
  for (const HistoryPageBar &bar : bars) most = std::max(most, bar.counts.total());
  const size_t top = scaleTop(most);
  const double width = 1200, height = 300, left = 56, right = 40, above = 12, below = 44;
  const double plotHeight = height - above - below,
               slotWidth = (width - left - right) / bars.size();
  html += "<svg viewBox=\"0 0 1200 300\" role=\"img\" aria-label=\"units by result\">";
  for (int tick = 0; tick <= 4; tick++) {
    const double y = above + plotHeight * (4 - tick) / 4;
    html += "<line x1=\"" + formatted("%.1f", left) + "\" x2=\"" +
            formatted("%.1f", width - right) + "\" y1=\"" + formatted("%.1f", y) + "\" y2=\"" +
            formatted("%.1f", y) + "\" stroke=\"#e0e0e0\"/><text x=\"" +
            formatted("%.1f", left - 6) + "\" y=\"" + formatted("%.1f", y + 4) +
            "\" text-anchor=\"end\">" + formatted("%g", (double)top * tick / 4) + "</text>";
  }
  // A label under every few bars, at most about twelve.
  const size_t labelEvery = (bars.size() + 11) / 12;
  const bool oneDay = bars.back().start - bars.front().start < 86400 && barSeconds_ < 86400;
  const char *labelFormat = barSeconds_ >= 86400 ? "%Y-%m-%d" : oneDay ? "%H:%M" : "%m-%d %H:%M";
  for (size_t i = 0; i < bars.size(); i++) {
    const HistoryPageBar &bar = bars[i];
    const double x = left + slotWidth * i;
    std::string title = fleet_utcText(bar.start, "%Y-%m-%d %H:%M") + " to " +
                        fleet_utcText(bar.start + barSeconds_, "%Y-%m-%d %H:%M") + ": " +
                        grouped(bar.counts.total()) + " units";
    html += "<g class=\"bar\" data-start=\"" + fleet_isoTime(bar.start) + "\"";
    for (int r = 0; r < HISTORY_PAGE_RESULTS; r++) {
      html += std::string(" data-") + kPageResults[r].name + "=\"" +
              std::to_string(bar.counts.of[r]) + "\"";
      if (bar.counts.of[r] > 0)
        title += std::string(", ") + std::to_string(bar.counts.of[r]) + " " + kPageResults[r].name;
    }
    html += "><title>" + title + "</title>";
    double y = above + plotHeight;
    for (int r = 0; r < HISTORY_PAGE_RESULTS; r++) {
      if (bar.counts.of[r] == 0) continue;
      const double h = plotHeight * bar.counts.of[r] / top;
      y -= h;
      html += "<rect x=\"" + formatted("%.1f", x + slotWidth * 0.1) + "\" y=\"" +
              formatted("%.1f", y) + "\" width=\"" + formatted("%.1f", slotWidth * 0.8) +
              "\" height=\"" + formatted("%.1f", h) + "\" fill=\"" + kPageResults[r].colour +
              "\"/>";
    }
    if (i % labelEvery == 0)
      html += "<text x=\"" + formatted("%.1f", x + slotWidth / 2) + "\" y=\"" +
              formatted("%.1f", height - below + 18) + "\" text-anchor=\"middle\">" +
              fleet_utcText(bar.start, labelFormat) + "</text>";
    html += "</g>";
  }
  html += "</svg>\n<p class=\"legend\">";
  for (int r = 0; r < HISTORY_PAGE_RESULTS; r++)
    if (r != HISTORY_PAGE_OTHER || counts_.of[r] > 0)
      html += std::string("<span><i class=\"swatch\" style=\"background:") +
              kPageResults[r].colour + "\"></i>" + kPageResults[r].symbol + " " +
              kPageResults[r].name + "</span>";
  if (unTimed_ > 0)
    html += "<span>" + grouped(unTimed_) +
            " units without a time to finish are not in the chart</span>";
  return html + "</p></section>\n";
}

// The share of N in TOTAL, in percent with one decimal.
static std::string share(size_t n, size_t total) {
  return formatted("%.1f %%", total == 0 ? 0.0 : 100.0 * n / total);
}

std::string HistoryPage::slotsHtml() const {
  std::vector<std::pair<std::string, const HistoryPageCounts *>> slots;
  for (const auto &slot : slots_) slots.push_back({historyPage_escape(slot.first), &slot.second});
  if (otherSlots_.total() > 0) slots.push_back({"(other slots)", &otherSlots_});
  // The slots whose units fail most often, marked when another slot does better.
  auto failing = [&slots](size_t i) {
    const HistoryPageCounts &c = *slots[i].second;
    return (double)c.of[HISTORY_PAGE_FAILED] / c.total();
  };
  size_t worst = slots.size();
  for (size_t i = 0; i < slots.size(); i++)
    if (failing(i) > 0 && (worst == slots.size() || failing(i) > failing(worst))) worst = i;
  bool others = false;
  for (size_t i = 0; worst < slots.size() && i < slots.size(); i++)
    others = others || failing(i) < failing(worst);
  std::string html =
      "<section id=\"slots\"><h2>Yield by slot (updated or current, of the units handled "
      "there)</h2>\n"
      "<table><tr><th>Slot</th><th>Units</th>";
  for (int r = 0; r < HISTORY_PAGE_OTHER; r++)
    html += std::string("<th>") + kPageResults[r].name + "</th>";
  html += "<th>Yield</th><th>Failed</th><th></th><th></th></tr>\n";
  for (size_t i = 0; i < slots.size(); i++) {
    const HistoryPageCounts &c = *slots[i].second;
    const size_t sound = c.of[HISTORY_PAGE_UPDATED] + c.of[HISTORY_PAGE_CURRENT];
    const bool marked = others && failing(i) == failing(worst);
    html += std::string("<tr class=\"slot") + (marked ? " worst" : "") + "\" data-slot=\"" +
            slots[i].first + "\"><td>" + slots[i].first + "</td><td class=\"n\">" +
            grouped(c.total()) + "</td>";
    for (int r = 0; r < HISTORY_PAGE_OTHER; r++)
      html += "<td class=\"n\">" + grouped(c.of[r]) + "</td>";
    html += "<td class=\"n yield\">" + share(sound, c.total()) + "</td><td class=\"n\">" +
            share(c.of[HISTORY_PAGE_FAILED], c.total()) + "</td><td><div class=\"split\">";
    for (int r = 0; r < HISTORY_PAGE_RESULTS; r++)
      if (c.of[r] > 0)
        html += std::string("<span style=\"background:") + kPageResults[r].colour +
                ";width:" + formatted("%.2f%%", 100.0 * c.of[r] / c.total()) + "\"></span>";
    html += std::string("</div></td><td>") + (marked ? "\u26a0 fails most" : "") + "</td></tr>\n";
  }
  return html + "</table></section>\n";
}

std::string HistoryPage::rowsHtml() const {
  std::string html = "<section id=\"rows\"><h2>Units, newest last</h2>\n";
  if (rowsLeftOut() > 0)
    html += "<p class=\"note\" id=\"left-out\">The last " + grouped(rows_.size()) + " of " +
            grouped(units_) + " units; the " + grouped(rowsLeftOut()) +
            " before them are counted above but not listed here (choose a shorter period with "
            "--since and --until, or list them all with --csv).</p>\n";
  html +=
      "<table><tr><th>Finished (UTC)</th><th>Slot</th><th>Label</th><th>Type</th><th>Result</th>"
      "<th>Firmware</th><th>Seconds</th><th>Failed step: message</th></tr>\n";
  for (size_t i = 0; i < rows_.size(); i++) {
    const Row &row = rows_[(next_ + i) % rows_.size()];
    html += "<tr class=\"unit\"><td>" + historyPage_escape(row.finished) + "</td><td>" +
            historyPage_escape(row.slot) + "</td><td class=\"label\">" +
            historyPage_escape(row.label.empty() ? "-" : row.label) + "</td><td>" +
            historyPage_escape(row.type.empty() ? "-" : row.type) +
            "</td><td style=\"color:" + kPageResults[row.kind].colour + "\">" +
            kPageResults[row.kind].symbol + " " + historyPage_escape(row.result) + "</td><td>" +
            historyPage_escape(row.firmware) + "</td><td class=\"n\">" +
            formatted("%.0f", row.seconds) + "</td><td>" + historyPage_escape(row.why) +
            "</td></tr>\n";
  }
  return html + "</table></section>\n";
}

std::string HistoryPage::html() const {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
      "<title>Station history</title><style>";
  html += kStyle;
  html += "</style></head>\n<body>\n<h1>Station history</h1>\n<p class=\"scope\">" +
          historyPage_escape(source_) + (chosen_.empty() ? "" : ", " + historyPage_escape(chosen_));
  if (firstEnd_ >= 0)
    html += ": units finished from " + fleet_utcText(firstEnd_, "%Y-%m-%d %H:%M") + " to " +
            fleet_utcText(lastEnd_, "%Y-%m-%d %H:%M") + " UTC";
  html +=
      "</p>\n" + summaryHtml() + chartHtml() + slotsHtml() + rowsHtml() + "<div class=\"footer\">";
  for (const std::string &line : footer_.lines()) html += "<p>" + historyPage_escape(line) + "</p>";
  return html + "</div>\n</body></html>\n";
}

// ---- Writing ------------------------------------------------------------------------

bool historyPage_checkPath(const std::string &path, const std::string &history,
                           std::string *error) {
  // A link is looked through: what it names must be a plain file or nothing.
  struct stat st, source;
  const bool there = stat(path.c_str(), &st) == 0;
  if (there && (st.st_mode & S_IFMT) != S_IFREG) {
    *error = path + ": cannot write the page: it is " +
             ((st.st_mode & S_IFMT) == S_IFDIR ? "a folder" : "no plain file (a device, a fifo)");
    return false;
  }
  // The same file by another name where the system tells files apart by
  // number (Windows' stat does not: there only the same name is seen).
  if (path == history ||
      (there && !history.empty() && st.st_ino != 0 && stat(history.c_str(), &source) == 0 &&
       st.st_dev == source.st_dev && st.st_ino == source.st_ino)) {
    *error = path + ": cannot write the page: it is the history it is made from";
    return false;
  }
  std::string why;
  if (files_canMakeBeside(path, &why)) return true;
  *error = path + ": cannot write the page: " + why;
  return false;
}

bool historyPage_write(const std::string &path, const std::string &html, std::string *error) {
  std::string why;
  if (historyPage_checkPath(path, "", error) && files_replace(path, html, &why)) return true;
  if (!why.empty()) *error = path + ": cannot write the page: " + why;
  return false;
}
