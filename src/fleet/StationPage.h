// The station page (update-all --page FILE): one self-contained HTML file a
// browser shows across the room or a supervisor through any web server
// pointed at its folder. A tile per port or slot with its unit's state in
// words, colour and a symbol; the label queue; the shift's counts; the last
// units handled. Made from a small state (StationPageState) by a pure
// function, and written whole by StationPageWriter: at most once a second,
// only when what it shows changed, by atomic replace (Files.h), so a browser
// never reads half a page and two runs given one page leave the last one's.
//
// The page holds no script and fetches nothing: its style is inline, and a
// meta refresh reloads it every STATION_PAGE_REFRESH_SECONDS. Every text that
// comes from outside (port names, labels, the unit's replies, messages) is
// escaped for HTML. It never grows with the units handled: the last
// STATION_PAGE_RECENT_MAX units and the first STATION_PAGE_QUEUE_SHOWN
// labels queued.
#ifndef STATIONPAGE_H
#define STATIONPAGE_H

#include <string>
#include <vector>

#include "fleet/FleetRun.h"

#define STATION_PAGE_REFRESH_SECONDS 3
#define STATION_PAGE_RECENT_MAX 20
#define STATION_PAGE_QUEUE_SHOWN 10
// The page is looked at (and written when it changed) at most this often.
#define STATION_PAGE_WRITE_SECONDS 1.0

// What a tile shows, each with its words, its symbol and its colour.
enum StationTileState {
  STATION_TILE_WAITING,      // no unit on the port, or a unit waiting its turn (--jobs)
  STATION_TILE_FOUND,        // a unit found, its update starting (detection, checks)
  STATION_TILE_NEEDS_LABEL,  // a unit found that waits for a scanned label
  STATION_TILE_SENDING_LOGIC,
  STATION_TILE_SENDING_FIRMWARE,
  STATION_TILE_REBOOTING,
  STATION_TILE_VERIFYING,
  STATION_TILE_UPDATED,
  STATION_TILE_CURRENT,
  STATION_TILE_FAILED,
  STATION_TILE_INTERRUPTED,
  STATION_TILE_GONE,  // the unit handled there was unplugged
};

// "sending-logic": the tile's class and data-state in the page.
const char *stationPage_stateKey(StationTileState state);
// "sending logic": the state in words.
const char *stationPage_stateWords(StationTileState state);

struct StationTile {
  std::string name;  // the port or slot, as the live table names it
  StationTileState state = STATION_TILE_WAITING;
  // Beside the state: "40 %", "1:20 left", a failed unit's step and reason,
  // a step a newer child named.
  std::string detail;
  std::string label, type, firmwareBefore, firmwareAfter;
  double seconds = -1;  // the unit's time on the slot; < 0: none
};

// One of the last units handled.
struct StationRecent {
  std::string time;  // when it ended, "08:15:02" (UTC)
  std::string name, label;
  FleetResult result = FLEET_RESULT_NONE;
  std::string detail;  // a unit not sound: its step and reason
  double seconds = 0;
};

struct StationPageState {
  std::string title;  // the station's name (host), in the heading
  std::vector<StationTile> tiles;
  bool labels = false;             // --labels: the queue is shown
  std::vector<std::string> queue;  // its first labels, at most STATION_PAGE_QUEUE_SHOWN
  size_t queued = 0;               // how many are queued in all
  bool queueEnded = false;         // standard input has ended
  long updated = 0, current = 0, failed = 0, interrupted = 0;
  double unitsPerHour = 0;            // of units updated, since the start
  std::vector<StationRecent> recent;  // newest first, at most STATION_PAGE_RECENT_MAX
  bool ended = false;                 // update-all has ended: the page is as it left it
};

// A unit's tile from the run's view of it at NOW; fpgaBytes and mcuBytes are
// the lengths of its images, for the time left (fleet_secondsLeft).
StationTile stationPage_unitTile(const FleetUnit &unit, double now, long fpgaBytes, long mcuBytes);
// A unit that has ended, put first among STATE's recent units (the oldest
// dropped past STATION_PAGE_RECENT_MAX), and counted.
void stationPage_addRecent(StationPageState *state, const FleetRecord &record);

// TEXT for HTML: & < > " ' as references, control characters as "\x1b"
// (PrintableText.h), so that no outside text makes markup.
std::string stationPage_escape(const std::string &text);
// The page. WRITTENAT, the time it was written, is shown in its heading.
std::string stationPage_html(const StationPageState &state, const std::string &writtenAt);

// Whether a page can be written at PATH: a name ending in .html or .htm, not
// a folder or a device, in a folder that takes a new file; without touching
// a file already there. FALSE with the reason in *error.
bool stationPage_checkPath(const std::string &path, std::string *error);

// The page at one path, rewritten when what it shows changes.
class StationPageWriter {
 public:
  explicit StationPageWriter(const std::string &path) : path_(path) {}
  // STATE's page written when it differs from the one written last, looked
  // at once STATION_PAGE_WRITE_SECONDS have passed since the last look (or
  // FINAL: update-all's end). FALSE with the reason in *error when the write
  // failed (tried again at the next look).
  bool update(const StationPageState &state, double now, bool final, std::string *error);
  long writes() const { return writes_; }

 private:
  const std::string path_;
  std::string shown_;  // the page last written, its time left out
  double checkedAt_ = -1e9;
  long writes_ = 0;
};

#endif  // STATIONPAGE_H
