// The simulated extender unit: the options of a run and the simulator that
// holds its ports and the devices plugged into them.
//
// One thread, one poll() loop. Every port is a pseudo-terminal (SimPorts.cpp).
// Some ports carry a unit each (UnitConsole.cpp; a bench of several units
// plays them all at once, each with its own state), the others stay silent
// (or answer garbage, or, as talkers, never stop talking: Talker.cpp).
#ifndef UNITSIM_H
#define UNITSIM_H

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "PortDevice.h"
#include "SimPorts.h"
#include "Talker.h"
#include "UnitConsole.h"

// A unit plugged into a port, or a port's unit pulled out, while the
// simulator runs; AT counts seconds from the start.
struct PlugEvent {
  double at = 0;
  int port = 0;
  bool plug = true;   // false: the port's device becomes a silent one
  UnitOptions unit;   // the unit plugged in
};

struct SimOptions {
  std::string comDir;              // folder for the COMn symlinks
  std::vector<int> ports;          // port numbers to create
  std::vector<UnitOptions> units;  // the units, each on its own port
  BenchOptions bench;              // what the units share: images saved, reboot time
  std::string logPath;             // wire log, none when empty
  std::string readyFile;           // written once the ports exist
  double maxSeconds = 300.0;       // the simulator stops by itself after this
  bool pace = false;               // hold both directions to the line rate
  bool othersGarbage = false;      // silent ports answer each line with garbage
  std::vector<TalkerSetting> talkers;  // --talker PORT:KIND
  std::vector<PlugEvent> plugEvents;   // --plug, --unplug, in the order of their time
  double unplugAfterUpdate = -1;       // an updated unit is pulled out this long after
                                       // it reported the release; < 0: never
  unsigned seed = 1;
};

class Simulator {
 public:
  explicit Simulator(const SimOptions &options) : opt_(options) {}
  ~Simulator() { stop(); }
  // Opens the wire log, creates the ports and plugs a device into each.
  bool start(void);
  // Hangs up every port and closes the log.
  void stop(void);
  // One line per port: "COMn SLAVE[ unit| talker]".
  void printPorts(void) const;
  // Serves the ports until `*stopFlag`, the time limit, or no port is left.
  // False when poll() failed.
  bool run(const volatile sig_atomic_t *stopFlag);

 private:
  // The device the options put on a port: its unit, its talker, or a silent one.
  std::unique_ptr<PortDevice> deviceFor(int port);
  // The plugs and unplugs due at NOW; lowers *nextDeadline to the next one.
  void changePlugs(double now, double *nextDeadline);
  void plugInto(size_t portIndex, std::unique_ptr<PortDevice> device, SimUnit *unit,
                const char *event, const std::string &detail);

  SimOptions opt_;
  WireLog log_;
  std::vector<SimPort> ports_;
  // Owned here; a port only points at the one plugged into it.
  std::vector<std::unique_ptr<PortDevice>> devices_;
  // Per port (as ports_): the unit plugged in now, null for none; the units
  // it has had so far.
  std::vector<SimUnit *> unitOn_;
  std::vector<int> unitsPlugged_;
  size_t nextPlugEvent_ = 0;
  double startedAt_ = 0;
};

#endif  // UNITSIM_H
