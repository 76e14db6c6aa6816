// The station page: its HTML from the page's state, a unit's tile, and the
// writer that replaces the file whole.
#include "fleet/StationPage.h"

#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include "platform/Files.h"
#include "platform/PrintableText.h"
#include "platform/ToolName.h"
#include "serial/PortDescription.h"

// Each state's words, symbol (a numeric reference, so that this file stays
// ASCII) and colours; the symbol and the words make the state plain without
// its colour.
static const struct {
  StationTileState state;
  const char *key, *words, *symbol, *colour;
} kPageStates[] = {
    {STATION_TILE_WAITING, "waiting", "waiting", "&#9675;", "#5f6670"},              // white circle
    {STATION_TILE_FOUND, "found", "found", "&#9673;", "#1f6fd1"},                    // fisheye
    {STATION_TILE_NEEDS_LABEL, "needs-label", "needs label", "&#9998;", "#b7791f"},  // pencil
    {STATION_TILE_SENDING_LOGIC, "sending-logic", "sending logic", "&#8679;",
     "#1f6fd1"},  // up arrow
    {STATION_TILE_SENDING_FIRMWARE, "sending-firmware", "sending firmware", "&#8679;", "#2b50b8"},
    {STATION_TILE_REBOOTING, "rebooting", "rebooting", "&#8635;", "#7048c0"},  // clockwise arrow
    {STATION_TILE_VERIFYING, "verifying", "verifying", "&#8943;", "#0f7f8c"},  // ellipsis
    {STATION_TILE_UPDATED, "updated", "updated", "&#10004;", "#17803d"},       // check mark
    {STATION_TILE_CURRENT, "current", "current", "&#61;", "#3d7a57"},          // equals
    {STATION_TILE_FAILED, "failed", "failed", "&#10006;", "#c62828"},          // heavy X
    {STATION_TILE_INTERRUPTED, "interrupted", "interrupted", "&#9632;", "#c25e00"},  // square
    {STATION_TILE_GONE, "gone", "gone", "&#8709;", "#4a4f57"},                       // empty set
};

const char *stationPage_stateKey(StationTileState state) { return kPageStates[state].key; }
const char *stationPage_stateWords(StationTileState state) { return kPageStates[state].words; }

static std::string pageClock(double seconds) {
  if (seconds < 0) seconds = 0;
  char text[32];
  const long whole = (long)seconds;
  snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

// A unit not sound: "sending logic: Expected ...", or the message alone.
static std::string pageWhy(const FleetRecord &record) {
  if (record.failedStep.empty()) return record.message;
  return record.message.empty() ? record.failedStep : record.failedStep + ": " + record.message;
}

static StationTileState pageResultState(FleetResult result) {
  switch (result) {
    case FLEET_RESULT_UPDATED: return STATION_TILE_UPDATED;
    case FLEET_RESULT_CURRENT: return STATION_TILE_CURRENT;
    case FLEET_RESULT_FAILED: return STATION_TILE_FAILED;
    default: return STATION_TILE_INTERRUPTED;
  }
}

StationTile stationPage_unitTile(const FleetUnit &unit, double now, long fpgaBytes, long mcuBytes) {
  StationTile tile;
  const FleetRecord &r = unit.record;
  tile.label = r.label;
  tile.type = r.type;
  tile.firmwareBefore = r.firmwareBefore;
  tile.firmwareAfter = r.firmwareAfter;
  if (unit.startedAt > 0) tile.seconds = (unit.running ? now : unit.lastHeardAt) - unit.startedAt;
  if (unit.finished) {
    tile.state = pageResultState(r.result);
    if (!fleet_isSound(r.result)) tile.detail = pageWhy(r);
    return tile;
  }
  if (!unit.running) {
    tile.detail = "its turn";  // --jobs: the others first
    return tile;
  }
  const std::string percent = unit.percent > 0 ? std::to_string(unit.percent) + " %" : "";
  switch (unit.step) {
    case FLEET_STEP_SENDING_LOGIC:
      tile.state = STATION_TILE_SENDING_LOGIC;
      tile.detail = percent;
      break;
    case FLEET_STEP_SENDING_FIRMWARE:
      tile.state = STATION_TILE_SENDING_FIRMWARE;
      tile.detail = percent;
      break;
    case FLEET_STEP_REBOOTING:
      tile.state = STATION_TILE_REBOOTING;
      tile.detail =
          pageClock(fleet_secondsLeft(unit.step, unit.percent, fpgaBytes, mcuBytes) + 0.5) +
          " left";
      break;
    case FLEET_STEP_VERIFYING:
    case FLEET_STEP_DONE:  // told before the child's exit: its result comes with the exit
      tile.state = STATION_TILE_VERIFYING;
      break;
    case FLEET_STEP_FAILED: tile.state = STATION_TILE_FAILED; break;
    default:  // detecting, checking, a step a newer child named, or its end told before its exit
      tile.state = STATION_TILE_FOUND;
      tile.detail =
          unit.step == FLEET_STEP_WAITING || unit.step == FLEET_STEP_IDLE ? "" : unit.stepName();
  }
  return tile;
}

void stationPage_addRecent(StationPageState *state, const FleetRecord &record) {
  StationRecent recent;
  // The end's time of day out of its ISO 8601 time: "2026-03-01T08:15:02Z".
  recent.time = record.finished.size() >= 19 ? record.finished.substr(11, 8) : record.finished;
  recent.name = portDescription_of(record.port).name;
  recent.label = record.label;
  recent.result = record.result;
  recent.seconds = record.seconds;
  if (!fleet_isSound(record.result)) recent.detail = pageWhy(record);
  state->recent.insert(state->recent.begin(), recent);
  if (state->recent.size() > STATION_PAGE_RECENT_MAX) state->recent.resize(STATION_PAGE_RECENT_MAX);
  switch (record.result) {
    case FLEET_RESULT_UPDATED: state->updated++; break;
    case FLEET_RESULT_CURRENT: state->current++; break;
    case FLEET_RESULT_FAILED: state->failed++; break;
    default: state->interrupted++;
  }
}

std::string stationPage_escape(const std::string &text) { return printableText_html(text); }

// Sized for a screen across the room (1920 x 1080 at 3 m: a tile's state in
// 44 px letters) and for a phone (the tiles wrap, at least 260 px each).
static const char kPageStyle[] =
    "*{box-sizing:border-box}"
    "body{margin:0;padding:16px;background:#101317;color:#eef1f4;"
    "font-family:'DejaVu Sans',Arial,Helvetica,sans-serif;font-size:20px}"
    "header{display:flex;flex-wrap:wrap;justify-content:space-between;align-items:baseline;"
    "gap:8px 24px;margin-bottom:12px}"
    "h1{font-size:32px;margin:0}"
    ".written{color:#a9b1ba;font-size:18px}"
    ".counts{display:flex;flex-wrap:wrap;gap:8px 28px;font-size:28px;margin-bottom:14px}"
    ".counts b{font-size:40px}"
    ".tiles{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,300px),1fr));"
    "gap:12px}"
    ".tile{border-radius:10px;padding:12px 16px;border:4px solid #0000;overflow-wrap:anywhere}"
    ".name{font-size:30px;font-weight:bold}"
    ".state{font-size:44px;font-weight:bold;line-height:1.15;margin:4px 0}"
    ".detail{font-size:26px;min-height:1.2em}"
    ".facts{font-size:20px;margin:6px 0 0;display:grid;grid-template-columns:auto 1fr;"
    "gap:2px 10px}"
    ".facts dt{color:#ffffffb0}.facts dd{margin:0}"
    ".gone{border:4px dashed #9aa3ad}"
    ".queue{font-size:24px;margin:14px 0}"
    "table{border-collapse:collapse;width:100%;font-size:20px;margin-top:8px}"
    "th,td{text-align:left;padding:4px 10px;border-bottom:1px solid #2c333b}"
    "h2{font-size:26px;margin:18px 0 4px}"
    "@media (max-width:600px){body{padding:8px}.state{font-size:36px}"
    ".counts{font-size:22px}.hide-narrow{display:none}}";

static std::string pageStateStyles(void) {
  std::string css;
  for (const auto &s : kPageStates)
    css += std::string(".s-") + s.key + "{background:" + s.colour + "}";
  return css;
}

// A fact of a tile: a term and its text, left out when empty.
static std::string pageFact(const char *term, const std::string &text) {
  if (text.empty()) return "";
  return std::string("<dt>") + term + "</dt><dd>" + stationPage_escape(text) + "</dd>";
}

static std::string pageTile(const StationTile &tile) {
  const char *key = kPageStates[tile.state].key;
  std::string html = std::string("<div class=\"tile s-") + key + "\" data-state=\"" + key +
                     "\" data-port=\"" + stationPage_escape(tile.name) + "\">";
  html += "<div class=\"name\">" + stationPage_escape(tile.name) + "</div>";
  html += std::string("<div class=\"state\"><span class=\"symbol\" aria-hidden=\"true\">") +
          kPageStates[tile.state].symbol + "</span> <span class=\"words\">" +
          kPageStates[tile.state].words + "</span></div>";
  html += "<div class=\"detail\">" + stationPage_escape(tile.detail) + "</div>";
  std::string firmware = tile.firmwareBefore;
  if (!tile.firmwareAfter.empty())
    firmware += (firmware.empty() ? "" : " \xe2\x86\x92 ") + tile.firmwareAfter;
  const std::string facts = pageFact("label", tile.label) + pageFact("type", tile.type) +
                            pageFact("firmware", firmware) +
                            pageFact("time", tile.seconds >= 0 ? pageClock(tile.seconds) : "");
  if (!facts.empty()) html += "<dl class=\"facts\">" + facts + "</dl>";
  return html + "</div>\n";
}

static std::string pageCount(const char *key, const char *words, const std::string &value) {
  return std::string("<span class=\"count\" data-count=\"") + key + "\"><b>" + value + "</b> " +
         words + "</span>";
}

static std::string pageRecent(const std::vector<StationRecent> &recent) {
  std::string html =
      "<h2>Last units</h2>\n<table class=\"recent\"><tr><th>time</th><th>port</th>"
      "<th>label</th><th>result</th><th class=\"hide-narrow\">seconds</th></tr>\n";
  for (const StationRecent &r : recent) {
    const char *result = fleet_resultName(r.result);
    html += std::string("<tr data-result=\"") + result + "\"><td>" + stationPage_escape(r.time) +
            "</td><td>" + stationPage_escape(r.name) + "</td><td>" + stationPage_escape(r.label) +
            "</td><td>" + result + (r.detail.empty() ? "" : ": " + stationPage_escape(r.detail)) +
            "</td><td class=\"hide-narrow\">" + std::to_string((long)(r.seconds + 0.5)) +
            "</td></tr>\n";
  }
  return html + "</table>\n";
}

static std::string pageQueue(const StationPageState &state) {
  std::string html = "<div class=\"queue\" data-queued=\"" + std::to_string(state.queued) +
                     "\">Labels" + (state.queueEnded ? " (input ended)" : "") + ": ";
  if (state.queued == 0) return html + "none queued</div>\n";
  html += std::to_string(state.queued) + " queued, next ";
  for (size_t i = 0; i < state.queue.size(); i++)
    html += (i ? ", " : "") + std::string("<span class=\"label\">") +
            stationPage_escape(state.queue[i]) + "</span>";
  if (state.queued > state.queue.size())
    html += " and " + std::to_string(state.queued - state.queue.size()) + " more";
  return html + "</div>\n";
}

std::string stationPage_html(const StationPageState &state, const std::string &writtenAt) {
  const std::string title = stationPage_escape(state.title);
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
      "<meta http-equiv=\"refresh\" content=\"" +
      std::to_string(STATION_PAGE_REFRESH_SECONDS) +
      "\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>" +
      title + " \xe2\x80\x94 " TOOL_NAME " update-all</title>\n<style>" + kPageStyle +
      pageStateStyles() + "</style></head>\n<body>\n<header><h1>" + title + "</h1>" +
      "<span class=\"written\">" + (state.ended ? "update-all has ended; " : "") + "as of " +
      stationPage_escape(writtenAt) + "</span></header>\n";
  char rate[32];
  snprintf(rate, sizeof rate, "%.0f", state.unitsPerHour);
  html += "<div class=\"counts\">" +
          pageCount("updated", "updated", std::to_string(state.updated)) +
          pageCount("current", "current", std::to_string(state.current)) +
          pageCount("failed", "failed", std::to_string(state.failed)) +
          pageCount("interrupted", "interrupted", std::to_string(state.interrupted)) +
          pageCount("per-hour", "updated per hour", rate) + "</div>\n";
  html += "<div class=\"tiles\">\n";
  for (const StationTile &tile : state.tiles) html += pageTile(tile);
  html += "</div>\n";
  if (state.labels) html += pageQueue(state);
  return html + pageRecent(state.recent) + "</body></html>\n";
}

static bool pageEndsWith(const std::string &text, const char *suffix) {
  const size_t n = strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

bool stationPage_checkPath(const std::string &path, std::string *error) {
  if (!pageEndsWith(path, ".html") && !pageEndsWith(path, ".htm")) {
    *error = path + ": the page's name ends in .html or .htm";
    return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) != S_IFREG) {
    *error = path + ": cannot write the page: it is " +
             ((st.st_mode & S_IFMT) == S_IFDIR ? "a folder" : "not a plain file");
    return false;
  }
  std::string why;
  if (files_canMakeBeside(path, &why)) return true;
  *error = path + ": cannot write the page: " + why;
  return false;
}

bool StationPageWriter::update(const StationPageState &state, double now, bool final,
                               std::string *error) {
  // Looked at once a second: a round comes ten times a second, and a page of
  // many ports is not made for nothing.
  if (!final && now - checkedAt_ < STATION_PAGE_WRITE_SECONDS) return true;
  checkedAt_ = now;
  const std::string page = stationPage_html(state, "");
  if (page == shown_) return true;
  std::string why;
  const std::string writtenAt = fleet_utcText(time(NULL), "%Y-%m-%d %H:%M:%S UTC");
  if (!files_replace(path_, stationPage_html(state, writtenAt), &why)) {
    *error = path_ + ": cannot write the page: " + why;
    return false;  // tried again at the next look
  }
  shown_ = page;
  writes_++;
  return true;
}
