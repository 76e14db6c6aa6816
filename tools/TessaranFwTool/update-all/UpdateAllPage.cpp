// update-all's station page: its state from the run and the watch each round.
#include "update-all/UpdateAllPage.h"

#include "fleet/LabelQueue.h"
#include "platform/StationPlaces.h"
#include "platform/ToolName.h"
#include "serial/PortDescription.h"

UpdateAllPage::UpdateAllPage(const std::string &path, double startedAt,
                             std::function<void(const std::string &)> say)
    : writer_(path), startedAt_(startedAt), say_(say) {
  if (path.empty()) return;  // no page: the run tells it nonetheless
  lengths_.read();
  state_.title = stationPlaces_hostName();
  if (state_.title.empty()) state_.title = "Station";
}

void UpdateAllPage::unitFinished(const FleetUnit &unit, double) {
  stationPage_addRecent(&state_, unit.record);
}

// A watch's tile for PORT: its unit's, the unit waiting for a label, the
// unit that left it (for PAGE_GONE_SECONDS), or waiting.
static StationTile watchedTile(const FleetWatch::Port &port, const StationTile *unitTile,
                               const StationTile *goneTile) {
  StationTile tile;
  if (port.needsLabel) {
    tile.state = STATION_TILE_NEEDS_LABEL;
    tile.type = port.waiting.type;
    tile.detail = "scan its label";
  } else if (unitTile != NULL) {
    tile = *unitTile;
  } else if (goneTile != NULL) {
    tile = *goneTile;
    tile.detail = goneTile->state == STATION_TILE_NEEDS_LABEL
                      ? "unplugged before its label"
                      : std::string("last: ") + stationPage_stateWords(goneTile->state);
    tile.state = STATION_TILE_GONE;
  }
  return tile;
}

void UpdateAllPage::refresh(const std::vector<const FleetUnit *> &units, double now) {
  state_.tiles.clear();
  if (watch_ == NULL) {
    for (const FleetUnit *unit : units) {
      state_.tiles.push_back(
          stationPage_unitTile(*unit, now, lengths_.fpgaFor(unit->record.type), lengths_.mcu));
      state_.tiles.back().name = portDescription_of(unit->record.port).name;
    }
  } else {
    const std::vector<FleetWatch::Port> ports = watch_->ports();
    seen_.resize(ports.size());  // slots found later come at the end
    for (size_t i = 0; i < ports.size(); i++) {
      const FleetWatch::Port &port = ports[i];
      Seen &seen = seen_[i];
      StationTile unitTile;
      if (port.unit != NULL)
        unitTile = stationPage_unitTile(*port.unit, now, lengths_.fpgaFor(port.unit->record.type),
                                        lengths_.mcu);
      const bool there = port.unit != NULL || port.needsLabel;
      if (!there && (seen.unit != NULL || seen.needsLabel)) seen.goneAt = now;  // it left
      if (there || now - seen.goneAt >= PAGE_GONE_SECONDS) seen.goneAt = 0;
      StationTile tile = watchedTile(port, port.unit != NULL ? &unitTile : NULL,
                                     seen.goneAt > 0 ? &seen.tile : NULL);
      tile.name = portDescription_of(port.port).name;
      if (there) seen.tile = tile;
      seen.unit = port.unit;
      seen.needsLabel = port.needsLabel;
      state_.tiles.push_back(tile);
    }
  }
  if (labels_ != NULL) {
    state_.labels = true;
    state_.queued = labels_->size();
    state_.queueEnded = labels_->ended();
    state_.queue.clear();
    for (size_t i = 0; i < labels_->size() && i < STATION_PAGE_QUEUE_SHOWN; i++)
      state_.queue.push_back(labels_->labels()[i]);
  }
  const double seconds = now - startedAt_;
  state_.unitsPerHour = state_.updated * 3600.0 / (seconds > 1 ? seconds : 1);
}

void UpdateAllPage::write(double now, bool final) {
  std::string error;
  if (writer_.update(state_, now, final, &error) || said_) return;
  said_ = true;  // once: a station whose page cannot be written goes on updating
  say_(TOOL_NAME ": " + error + "; the units' updates go on");
}

void UpdateAllPage::roundEnded(const std::vector<const FleetUnit *> &units, double now, bool) {
  lastUnits_ = units;
  refresh(units, now);
  write(now, false);
}

void UpdateAllPage::end(double now) {
  refresh(lastUnits_, now);
  state_.ended = true;
  write(now, true);
}
