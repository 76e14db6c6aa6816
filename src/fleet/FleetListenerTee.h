// One run told to two listeners (update-all's display and its station page),
// each event to the first, then to the second.
#ifndef FLEETLISTENERTEE_H
#define FLEETLISTENERTEE_H

#include <string>
#include <vector>

#include "fleet/FleetRun.h"

class FleetListenerTee : public FleetListener {
 public:
  FleetListenerTee(FleetListener &first, FleetListener &second) : a_(first), b_(second) {}

  void unitStarted(const FleetUnit &unit, double now) override {
    a_.unitStarted(unit, now);
    b_.unitStarted(unit, now);
  }
  void stepChanged(const FleetUnit &unit, double now) override {
    a_.stepChanged(unit, now);
    b_.stepChanged(unit, now);
  }
  void percentChanged(const FleetUnit &unit, double now) override {
    a_.percentChanged(unit, now);
    b_.percentChanged(unit, now);
  }
  void factLearnt(const FleetUnit &unit, const std::string &key,
                  const std::string &value) override {
    a_.factLearnt(unit, key, value);
    b_.factLearnt(unit, key, value);
  }
  void unitFinished(const FleetUnit &unit, double now) override {
    a_.unitFinished(unit, now);
    b_.unitFinished(unit, now);
  }
  void unitRecorded(const FleetUnit &unit) override {
    a_.unitRecorded(unit);
    b_.unitRecorded(unit);
  }
  void logFailed(const FleetUnit &unit, const std::string &why) override {
    a_.logFailed(unit, why);
    b_.logFailed(unit, why);
  }
  void warned(const std::vector<const FleetUnit *> &atRisk) override {
    a_.warned(atRisk);
    b_.warned(atRisk);
  }
  void watchEnded(const std::vector<const FleetUnit *> &running) override {
    a_.watchEnded(running);
    b_.watchEnded(running);
  }
  void stopping() override {
    a_.stopping();
    b_.stopping();
  }
  void hooksStopped(const std::vector<const FleetUnit *> &units) override {
    a_.hooksStopped(units);
    b_.hooksStopped(units);
  }
  void roundEnded(const std::vector<const FleetUnit *> &units, double now, bool changed) override {
    a_.roundEnded(units, now, changed);
    b_.roundEnded(units, now, changed);
  }

 private:
  FleetListener &a_, &b_;
};

#endif  // FLEETLISTENERTEE_H
