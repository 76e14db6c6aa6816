#include <stdio.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FleetTestSupport.h"
#include "fleet/StationPage.h"

static bool pageHolds(const std::string &page, const std::string &text) {
  return page.find(text) != std::string::npos;
}

// A unit as the run has it, for the states table.
static FleetUnit pageUnit(bool running, bool finished, FleetStep step, int percent = 0,
                          FleetResult result = FLEET_RESULT_NONE) {
  FleetUnit unit;
  unit.running = running;
  unit.finished = finished;
  unit.step = step;
  unit.percent = percent;
  unit.record.result = result;
  unit.startedAt = running || finished ? 100 : 0;
  unit.lastHeardAt = 150;
  return unit;
}

// Each unit's state: its tile's key and detail, and the page shows both, in
// words and with the tile's class, whatever the colour.
TEST(StationPage, EachStepAndResultHasItsTile) {
  FleetUnit newer = pageUnit(true, false, FLEET_STEP_UNKNOWN);
  newer.unknownStep = "erasing";
  FleetUnit failed = pageUnit(false, true, FLEET_STEP_FAILED, 0, FLEET_RESULT_FAILED);
  failed.record.failedStep = "sending logic";
  failed.record.message = "Expected : SUCCESS";
  const struct {
    FleetUnit unit;
    const char *key, *detail;
    double seconds;
  } cases[] = {
      {pageUnit(false, false, FLEET_STEP_WAITING), "waiting", "its turn", -1},
      {pageUnit(true, false, FLEET_STEP_WAITING), "found", "", 60},
      {pageUnit(true, false, FLEET_STEP_CHECKING), "found", "checking", 60},
      {newer, "found", "erasing", 60},
      {pageUnit(true, false, FLEET_STEP_SENDING_LOGIC, 40), "sending-logic", "40 %", 60},
      {pageUnit(true, false, FLEET_STEP_SENDING_FIRMWARE), "sending-firmware", "", 60},
      {pageUnit(true, false, FLEET_STEP_REBOOTING, 42), "rebooting", "1:20 left", 60},
      {pageUnit(true, false, FLEET_STEP_VERIFYING), "verifying", "", 60},
      {pageUnit(false, true, FLEET_STEP_DONE, 0, FLEET_RESULT_UPDATED), "updated", "", 50},
      {pageUnit(false, true, FLEET_STEP_CURRENT, 0, FLEET_RESULT_CURRENT), "current", "", 50},
      {failed, "failed", "sending logic: Expected : SUCCESS", 50},
      {pageUnit(false, true, FLEET_STEP_INTERRUPTED, 0, FLEET_RESULT_INTERRUPTED), "interrupted",
       "", 50},
  };
  for (const auto &c : cases) {
    StationPageState state;
    state.tiles.push_back(stationPage_unitTile(c.unit, 160, 115200, 11520));
    const StationTile &tile = state.tiles[0];
    EXPECT_STREQ(stationPage_stateKey(tile.state), c.key) << c.key;
    EXPECT_EQ(tile.detail, c.detail) << c.key;
    EXPECT_DOUBLE_EQ(tile.seconds, c.seconds) << c.key;
    const std::string page = stationPage_html(state, "now");
    EXPECT_TRUE(
        pageHolds(page, std::string("class=\"tile s-") + c.key + "\" data-state=\"" + c.key))
        << c.key;
    EXPECT_TRUE(pageHolds(page, std::string("<span class=\"words\">") +
                                    stationPage_stateWords(tile.state) + "</span>"))
        << c.key;
  }
}

// Every text from outside shows as its characters: none makes markup, in
// an element's text or in an attribute.
TEST(StationPage, OutsideTextsAreEscapedWherever) {
  const struct {
    const char *text, *escaped;
  } cases[] = {
      {"<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"\"><img src=x onerror=alert(1)>", "&quot;&gt;&lt;img src=x onerror=alert(1)&gt;"},
      {"a'b&c", "a&#39;b&amp;c"},
      {"\x1b[2Jx", "\\x1b[2Jx"},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(stationPage_escape(c.text), c.escaped);
    StationPageState state;
    state.title = c.text;
    StationTile tile;
    tile.name = tile.label = tile.type = tile.firmwareBefore = tile.firmwareAfter = tile.detail =
        c.text;
    state.tiles.push_back(tile);
    state.labels = true;
    state.queue = {c.text};
    state.queued = 1;
    FleetRecord record;
    record.port = registeredPort("socket://rack2:4001");
    record.label = record.message = c.text;
    record.result = FLEET_RESULT_FAILED;
    stationPage_addRecent(&state, record);
    const std::string page = stationPage_html(state, c.text);
    EXPECT_FALSE(pageHolds(page, "<script") || pageHolds(page, "<img") || pageHolds(page, "\x1b"))
        << c.text;
    size_t count = 0;
    for (size_t at = 0; (at = page.find(c.escaped, at)) != std::string::npos; at++) count++;
    EXPECT_EQ(count, 13u) << c.text;  // title twice, tile seven times, queue, last unit twice, time
  }
}

// However many units and labels a shift sees, the page shows the last 20
// units, newest first, and the first labels queued, and counts them all.
TEST(StationPage, NeverGrowsWithTheUnitsHandled) {
  StationPageState state;
  size_t size = 0;
  for (int i = 1; i <= 1000; i++) {
    FleetRecord record;
    record.port = 1 + i % 8;
    record.label = "SN-" + std::to_string(i);
    record.result = i % 4 == 0 ? FLEET_RESULT_FAILED : FLEET_RESULT_UPDATED;
    stationPage_addRecent(&state, record);
    if (i == 20) size = stationPage_html(state, "").size();
  }
  ASSERT_EQ(state.recent.size(), (size_t)STATION_PAGE_RECENT_MAX);
  EXPECT_EQ(state.recent[0].label, "SN-1000");
  EXPECT_EQ(state.recent[19].label, "SN-981");
  EXPECT_EQ(state.updated, 750);
  EXPECT_EQ(state.failed, 250);
  EXPECT_LE(stationPage_html(state, "").size(), size + 64);
}

#ifndef _WIN32
// The page is written whole, at most once a second and only when it changed;
// two writers of one page leave the last one's; a path the report would
// refuse is refused, and a page that cannot be written says why.
TEST(StationPage, WrittenWholeAtMostOnceASecond) {
  const std::string folder = testing::TempDir() + "station-page/", path = folder + "s.html";
  mkdir(folder.c_str(), 0777);
  StationPageWriter writer(path), other(path);
  StationPageState state;
  std::string error;
  EXPECT_TRUE(writer.update(state, 10.0, false, &error));
  EXPECT_TRUE(writer.update(state, 11.5, false, &error));  // unchanged
  state.updated = 1;
  EXPECT_TRUE(writer.update(state, 12.0, false, &error));  // within the second since 11.5
  EXPECT_EQ(writer.writes(), 1);
  EXPECT_TRUE(writer.update(state, 12.5, false, &error));
  state.updated = 2;
  EXPECT_EQ(writer.writes(), 2);
  EXPECT_TRUE(writer.update(state, 13.1, false, &error));  // within the second since
  EXPECT_EQ(writer.writes(), 2);
  EXPECT_TRUE(writer.update(state, 13.6, false, &error));
  EXPECT_EQ(writer.writes(), 3);
  state.updated = 3;
  EXPECT_TRUE(other.update(state, 13.2, true, &error));
  EXPECT_TRUE(pageHolds(fileText(path), "<b>3</b> updated"));
  EXPECT_TRUE(pageHolds(fileText(path), "</html>\n"));

  const struct {
    std::string path, error;
  } refused[] = {
      {folder + "s.txt", "the page's name ends in .html or .htm"},
      {folder, "the page's name ends in .html or .htm"},
      {folder + "d.html", "it is a folder"},
      {folder + "null.html", "it is not a plain file"},  // a link to a device
      {folder + "missing/s.html", "No such file or directory"},
  };
  mkdir((folder + "d.html").c_str(), 0777);
  symlink("/dev/null", (folder + "null.html").c_str());
  for (const auto &c : refused) {
    EXPECT_FALSE(stationPage_checkPath(c.path, &error)) << c.path;
    EXPECT_TRUE(pageHolds(error, c.error)) << error;
  }
  EXPECT_TRUE(stationPage_checkPath(path, &error)) << error;
  StationPageWriter nowhere(folder + "missing/s.html");
  EXPECT_FALSE(nowhere.update(state, 20, true, &error));
  EXPECT_TRUE(pageHolds(error, "cannot write the page: No such file")) << error;
}
#endif
