// update-all --page FILE: the station page (fleet/StationPage.h) kept as the
// run goes, from its rounds: a tile per watched port (or per unit without
// --watch), the label queue, the counts and the last units. The page is
// written by this process only, never by a child, and a page that cannot be
// written changes no unit's result: it is said once (SAY) and tried again.
#ifndef UPDATEALLPAGE_H
#define UPDATEALLPAGE_H

#include <functional>
#include <string>
#include <vector>

#include "fleet/FleetRun.h"
#include "fleet/FleetWatch.h"
#include "fleet/StationPage.h"
#include "update-all/UpdateAllDisplay.h"

class LabelQueue;

// How long a port whose unit was unplugged shows it gone before it shows
// waiting again.
#define PAGE_GONE_SECONDS 30.0

class UpdateAllPage : public FleetListener {
 public:
  // The page at PATH, the run begun at startedAt (fleet_nowSeconds()).
  UpdateAllPage(const std::string &path, double startedAt,
                std::function<void(const std::string &)> say);

  void watching(const FleetWatch *watch) { watch_ = watch; }
  void labels(const LabelQueue *labels) { labels_ = labels; }
  // The last page, update-all ending: written now.
  void end(double now);

  void unitFinished(const FleetUnit &unit, double now) override;
  void roundEnded(const std::vector<const FleetUnit *> &units, double now, bool changed) override;

 private:
  void refresh(const std::vector<const FleetUnit *> &units, double now);
  void write(double now, bool final);

  StationPageWriter writer_;
  const double startedAt_;
  std::function<void(const std::string &)> say_;
  bool said_ = false;
  const FleetWatch *watch_ = NULL;
  const LabelQueue *labels_ = NULL;
  ImageLengths lengths_;
  StationPageState state_;
  // Each watched port's tile at the last round, the unit it showed, and
  // since when it shows that unit gone (0: it does not).
  struct Seen {
    const void *unit = NULL;
    bool needsLabel = false;
    StationTile tile;
    double goneAt = 0;
  };
  std::vector<Seen> seen_;
  std::vector<const FleetUnit *> lastUnits_;
};

#endif  // UPDATEALLPAGE_H
