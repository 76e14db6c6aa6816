// unitsim: plays the extender unit on pseudo-terminals, so the updater can be
// run and tested end to end without the hardware.
//
//   unitsim --com-dir DIR [--ports 1-5] [--unit-port 5] [--type tx|rx] ...
//   unitsim --com-dir DIR --ports 1-5 --unit 1:tx:115200 --unit 3:rx:57600 ...
//
// It creates one pseudo-terminal per port, links DIR/COMn to each slave (use
// DIR as FWUPGRADE_COM_DIR for the updater), prints "ready DIR" on stdout when
// the ports exist, serves a unit on each unit port, logs what it hears on every
// port and removes its links when it stops: on SIGTERM/SIGINT, after
// --max-seconds, or when nothing is left to serve.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "UnitSim.h"
#include "platform/PortList.h"
#include "platform/StandardStreams.h"

static volatile sig_atomic_t gStop = 0;

static void onSignal(int) { gStop = 1; }

static void usage(void) {
  printf(
      "usage: unitsim --com-dir DIR [options]\n"
      "  --ports LIST          ports to create, e.g. 1-5 or 1,3,7 (default 1)\n"
      "  --unit-port N         port that carries the unit, 0 for none (default: first port)\n"
      "  --type tx|rx          unit type (default tx)\n"
      "  --baud RATE           console rate of the unit (default 115200)\n"
      "  --version TEXT        version reply without its prompt (default \"1.0.3 XC7A35 1.3 1\")\n"
      "  --banner TEXT         boot banner (default \"[<type> unit] boot complete\\r\\n>>\")\n"
      "  --reboot-seconds S    from the last SUCCESS to the banner (default 145)\n"
      "  --save-dir DIR        write received images as fpga.bin and mcu.bin\n"
      "  --log FILE            wire log: time, port, rate in force, event, detail\n"
      "  --ready-file FILE     written once the ports exist\n"
      "  --max-seconds S       stop after this long (default 300)\n"
      "  --pace                hold both directions to the line rate (baud/10 bytes/s)\n"
      "  --others silent|garbage  what the ports without the unit do (default silent)\n"
      "  --seed N              seed for the garbage bytes and the random line faults\n"
      "  --talker PORT:KIND    a device on PORT that never stops talking, whatever the\n"
      "                        rate: trickle=MS (one byte every MS ms) or nmea (GPS-like\n"
      "                        sentences once a second); repeatable, not on the unit port\n"
      "  --fault NAME[=VALUE]  silent, no-ready, reject, disconnect=BYTES, chatter,\n"
      "                        pieces[=PAUSE_MS], late=MS, device=CODE, extra-cr, banner-crlf,\n"
      "                        keep-version, no-banner, garbage (replies after the\n"
      "                        detection reply are random bytes), trickle=MS (after the\n"
      "                        detection reply: one byte every MS ms, no more answers),\n"
      "                        trickle-after-reboot=MS (the same once the unit has rebooted);\n"
      "                        unplug=BYTES and corrupt=OFFSET count the stream bytes of\n"
      "                        both images together (logic image first)\n"
      "                        The line to the unit: drop=AT (a byte lost), change=AT (a\n"
      "                        byte changed), shift=AT (a 0x00 inserted, the byte 16 later\n"
      "                        lost), stall=AT (no byte for stall-seconds=S, default 5);\n"
      "                        AT is logic@K or mcu@K (byte K of that image's first stream)\n"
      "                        or 1/N (one line byte in N of every stream, at random: --seed)\n"
      "  --unit PORT:TYPE:BAUD[:FAULT...]  one unit of a bench, repeatable instead of\n"
      "                        --unit-port/--type/--baud/--version/--banner/--fault;\n"
      "                        each FAULT as for --fault, or version=TEXT; e.g. 4:tx:9600:reject.\n"
      "                        Its images are saved in SAVE_DIR/COMn; --ports defaults to the units' ports\n"
      "  --plug PORT:AT:TYPE:BAUD[:FAULT...]  a unit (as for --unit) plugged into PORT AT\n"
      "                        seconds after the start, in place of what was there; repeatable.\n"
      "                        The port's second and later units save in SAVE_DIR/COMn-2, -3, ...\n"
      "  --unplug PORT:AT      PORT's unit pulled out AT seconds after the start: the port\n"
      "                        stays and is silent (or --others garbage); repeatable\n"
      "  --unplug-after-update S  a unit that took both images and rebooted is pulled out\n"
      "                        S seconds after it first reports the release's version\n");
}

// Turns the C escapes \r, \n, \\ of a command-line text into their bytes.
static std::string unescape(const char *text) {
  std::string out;
  for (const char *p = text; *p != '\0'; p++) {
    if (*p == '\\' && p[1] == 'r') out += '\r', p++;
    else if (*p == '\\' && p[1] == 'n') out += '\n', p++;
    else if (*p == '\\' && p[1] == '\\') out += '\\', p++;
    else out += *p;
  }
  return out;
}

static bool parseFault(UnitOptions &unit, const char *text) {
  const char *value = strchr(text, '=');
  std::string name = value != NULL ? std::string(text, value - text) : std::string(text);
  if (value != NULL) value++;
  if (name == "silent") unit.faultSilent = true;
  else if (name == "no-ready") unit.faultNoReady = true;
  else if (name == "reject") unit.faultReject = true;
  else if (name == "chatter") unit.faultChatter = true;
  else if (name == "extra-cr") unit.faultExtraCr = true;
  else if (name == "banner-crlf") unit.faultBannerCrLf = true;
  else if (name == "keep-version") unit.faultKeepVersion = true;
  else if (name == "pieces") unit.piecesPauseMs = value != NULL ? atoi(value) : 100;
  else if (name == "late" && value != NULL) unit.lateMs = atoi(value);
  else if (name == "disconnect" && value != NULL) unit.disconnectAfter = atol(value);
  else if (name == "unplug" && value != NULL) unit.unplugAt = atol(value);
  else if (name == "corrupt" && value != NULL) unit.corruptAt = atol(value);
  else if (name == "drop") return simUnit_parseLineFault(value, &unit.lineFaults[LINE_DROP]);
  else if (name == "change") return simUnit_parseLineFault(value, &unit.lineFaults[LINE_CHANGE]);
  else if (name == "shift") return simUnit_parseLineFault(value, &unit.lineFaults[LINE_SHIFT]);
  else if (name == "stall") return simUnit_parseLineFault(value, &unit.lineFaults[LINE_STALL]);
  else if (name == "stall-seconds" && value != NULL && atof(value) > 0 && atof(value) < 30)
    unit.stallSeconds = atof(value);
  else if (name == "no-banner") unit.faultNoBanner = true;
  else if (name == "trickle" && value != NULL && atoi(value) > 0) unit.trickleMs = atoi(value);
  else if (name == "trickle-after-reboot" && value != NULL && atoi(value) > 0) {
    unit.trickleMs = atoi(value);
    unit.trickleAfterReboot = true;
  }
  else if (name == "garbage") unit.faultGarbage = true;
  else if (name == "device" && value != NULL) {
    // The device code is the last field of the version reply.
    size_t space = unit.version.rfind(' ');
    unit.version = (space == std::string::npos ? unit.version : unit.version.substr(0, space)) + " " + value;
  } else {
    return false;
  }
  return true;
}

static std::string defaultBanner(bool isRx) {
  return std::string("[") + (isRx ? "RX" : "TX") + " unit] boot complete\r\n>>";
}

// "PORT:TYPE:BAUD[:FAULT...]", FAULT as for --fault or version=TEXT. A version
// is taken before the faults, so that device=CODE applies to it.
static bool parseUnit(const char *text, UnitOptions *unit) {
  std::vector<std::string> fields;
  std::string rest = text;
  for (size_t colon; (colon = rest.find(':')) != std::string::npos; rest.erase(0, colon + 1))
    fields.push_back(rest.substr(0, colon));
  fields.push_back(rest);
  if (fields.size() < 3 || (fields[1] != "tx" && fields[1] != "rx")) return false;
  unit->port = atoi(fields[0].c_str());
  unit->isRx = fields[1] == "rx";
  unit->consoleBaud = atoi(fields[2].c_str());
  if (unit->port < 1 || unit->port > 255 || unit->consoleBaud <= 0) return false;
  for (size_t i = 3; i < fields.size(); i++)
    if (fields[i].compare(0, 8, "version=") == 0) unit->version = fields[i].substr(8);
  for (size_t i = 3; i < fields.size(); i++)
    if (fields[i].compare(0, 8, "version=") != 0 && !parseFault(*unit, fields[i].c_str())) return false;
  unit->banner = defaultBanner(unit->isRx);
  return true;
}

// "PORT:AT" and what follows it: the port and the time; *rest keeps the rest
// ("" when there is none).
static bool parsePortAndTime(const char *text, int *port, double *at, std::string *rest) {
  char *end = NULL;
  long number = strtol(text, &end, 10);
  if (end == text || *end != ':' || number < 1 || number > 255) return false;
  const char *time = end + 1;
  double seconds = strtod(time, &end);
  if (end == time || (*end != ':' && *end != '\0') || !(seconds >= 0)) return false;
  *port = (int)number;
  *at = seconds;
  *rest = *end == ':' ? end + 1 : "";
  return true;
}

// "--plug PORT:AT:TYPE:BAUD[:FAULT...]" or "--unplug PORT:AT".
static bool parsePlug(const char *text, bool plug, PlugEvent *event) {
  std::string rest;
  if (!parsePortAndTime(text, &event->port, &event->at, &rest)) return false;
  event->plug = plug;
  if (!plug) return rest.empty();
  return parseUnit((std::to_string(event->port) + ":" + rest).c_str(), &event->unit);
}

// What the command line gives beyond SimOptions: the single-unit options, held
// apart until it is known whether a bench (--unit, --plug) replaces them.
struct OptionScan {
  bool portsGiven = false, unitGiven = false, bannerGiven = false, singleUnitOptions = false;
  std::vector<std::string> faults;  // the --fault values, read once all options are in
  UnitOptions single;
  int unitPort = 0;
};

static bool takePorts(const char *value, SimOptions &opt, OptionScan &scan) {
  if (!portList_parse(value, &opt.ports)) {
    fprintf(stderr, "unitsim: bad port list \"%s\"\n", value);
    return false;
  }
  scan.portsGiven = true;
  return true;
}

static bool takeType(const char *value, SimOptions &, OptionScan &scan) {
  if (strcmp(value, "tx") != 0 && strcmp(value, "rx") != 0) {
    fprintf(stderr, "unitsim: --type is tx or rx\n");
    return false;
  }
  scan.single.isRx = strcmp(value, "rx") == 0;
  scan.singleUnitOptions = true;
  return true;
}

static bool takeOthers(const char *value, SimOptions &opt, OptionScan &) {
  if (strcmp(value, "silent") != 0 && strcmp(value, "garbage") != 0) {
    fprintf(stderr, "unitsim: --others is silent or garbage\n");
    return false;
  }
  opt.othersGarbage = strcmp(value, "garbage") == 0;
  return true;
}

static bool takeTalker(const char *value, SimOptions &opt, OptionScan &) {
  TalkerSetting setting;
  if (!parseTalker(value, &setting)) {
    fprintf(stderr, "unitsim: bad talker \"%s\" (PORT:trickle=MS or PORT:nmea)\n", value);
    return false;
  }
  opt.talkers.push_back(setting);
  return true;
}

static bool takePlug(const char *value, bool plug, SimOptions &opt) {
  PlugEvent event;
  if (!parsePlug(value, plug, &event)) {
    fprintf(stderr, "unitsim: bad %s \"%s\" (see --help)\n", plug ? "--plug" : "--unplug", value);
    return false;
  }
  opt.plugEvents.push_back(event);
  return true;
}

static bool takeUnplugAfterUpdate(const char *value, SimOptions &opt, OptionScan &) {
  char *end = NULL;
  opt.unplugAfterUpdate = strtod(value, &end);
  if (end == value || *end != '\0' || !(opt.unplugAfterUpdate >= 0)) {
    fprintf(stderr, "unitsim: bad --unplug-after-update \"%s\"\n", value);
    return false;
  }
  return true;
}

static bool takeUnit(const char *value, SimOptions &opt, OptionScan &) {
  UnitOptions unit;
  if (!parseUnit(value, &unit)) {
    fprintf(stderr, "unitsim: bad unit \"%s\" (PORT:TYPE:BAUD[:FAULT...], see --help)\n", value);
    return false;
  }
  for (const UnitOptions &other : opt.units) {
    if (other.port == unit.port) {
      fprintf(stderr, "unitsim: two units on port %d\n", unit.port);
      return false;
    }
  }
  opt.units.push_back(unit);
  return true;
}

// The options that take a value. Each takes it into the options, or says on
// standard error what is wrong with it and returns false.
struct ValueOption {
  const char *name;
  bool (*take)(const char *value, SimOptions &opt, OptionScan &scan);
};

static const ValueOption kValueOptions[] = {
    {"--com-dir",
     [](const char *v, SimOptions &opt, OptionScan &) {
       opt.comDir = v;
       return true;
     }},
    {"--ports", takePorts},
    {"--unit-port",
     [](const char *v, SimOptions &, OptionScan &scan) {
       scan.unitPort = atoi(v);
       scan.unitGiven = true;
       return true;
     }},
    {"--type", takeType},
    {"--baud",
     [](const char *v, SimOptions &, OptionScan &scan) {
       scan.single.consoleBaud = atoi(v);
       scan.singleUnitOptions = true;
       return true;
     }},
    {"--version",
     [](const char *v, SimOptions &, OptionScan &scan) {
       scan.single.version = v;
       scan.singleUnitOptions = true;
       return true;
     }},
    {"--banner",
     [](const char *v, SimOptions &, OptionScan &scan) {
       scan.single.banner = unescape(v);
       scan.bannerGiven = scan.singleUnitOptions = true;
       return true;
     }},
    {"--reboot-seconds",
     [](const char *v, SimOptions &opt, OptionScan &) {
       opt.bench.rebootSeconds = atof(v);
       return true;
     }},
    {"--save-dir",
     [](const char *v, SimOptions &opt, OptionScan &) {
       opt.bench.saveDir = v;
       return true;
     }},
    {"--log",
     [](const char *v, SimOptions &opt, OptionScan &) {
       opt.logPath = v;
       return true;
     }},
    {"--ready-file",
     [](const char *v, SimOptions &opt, OptionScan &) {
       opt.readyFile = v;
       return true;
     }},
    {"--max-seconds",
     [](const char *v, SimOptions &opt, OptionScan &) {
       opt.maxSeconds = atof(v);
       return true;
     }},
    {"--seed",
     [](const char *v, SimOptions &opt, OptionScan &) {
       opt.seed = (unsigned)strtoul(v, NULL, 10);
       return true;
     }},
    {"--others", takeOthers},
    {"--talker", takeTalker},
    {"--plug", [](const char *v, SimOptions &opt, OptionScan &) { return takePlug(v, true, opt); }},
    {"--unplug",
     [](const char *v, SimOptions &opt, OptionScan &) { return takePlug(v, false, opt); }},
    {"--unplug-after-update", takeUnplugAfterUpdate},
    {"--fault",
     [](const char *v, SimOptions &, OptionScan &scan) {
       scan.faults.push_back(v);
       scan.singleUnitOptions = true;
       return true;
     }},
    {"--unit", takeUnit},
};

// Takes every argument in turn; --help prints the usage and ends the program.
static bool readArguments(int argc, char **argv, SimOptions &opt, OptionScan &scan) {
  for (int i = 1; i < argc; i++) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      usage();
      exit(0);
    }
    if (arg == "--pace") {
      opt.pace = true;
      continue;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "unitsim: %s needs a value\n", arg.c_str());
      return false;
    }
    const char *value = argv[++i];
    const ValueOption *option = std::find_if(std::begin(kValueOptions), std::end(kValueOptions),
                                             [&](const ValueOption &o) { return arg == o.name; });
    if (option == std::end(kValueOptions)) {
      fprintf(stderr, "unitsim: unknown option %s (see --help)\n", arg.c_str());
      return false;
    }
    if (!option->take(value, opt, scan)) return false;
  }
  return true;
}

// A bench: every unit from its --unit or --plug; the single-unit options do
// not apply. The ports default to the units' and plugs' ports.
static bool settleBench(SimOptions &opt, const OptionScan &scan) {
  if (scan.unitGiven || scan.singleUnitOptions) {
    fprintf(stderr,
            "unitsim: --unit replaces --unit-port, --type, --baud, --version, --banner, --fault\n");
    return false;
  }
  opt.bench.unitFolders = true;
  if (!scan.portsGiven) {
    for (const UnitOptions &unit : opt.units) opt.ports.push_back(unit.port);
    for (const PlugEvent &event : opt.plugEvents)
      if (std::find(opt.ports.begin(), opt.ports.end(), event.port) == opt.ports.end())
        opt.ports.push_back(event.port);
    std::sort(opt.ports.begin(), opt.ports.end());
  }
  for (const UnitOptions &unit : opt.units) {
    bool listed = false;
    for (int port : opt.ports) listed = listed || port == unit.port;
    if (!listed) {
      fprintf(stderr, "unitsim: the unit's port %d is not in --ports\n", unit.port);
      return false;
    }
  }
  return true;
}

// One unit from the single-unit options, on --unit-port or the first port
// (none for --unit-port 0).
static bool settleSingleUnit(SimOptions &opt, OptionScan &scan) {
  UnitOptions &single = scan.single;
  if (!scan.portsGiven) opt.ports.assign(1, 1);
  single.port = scan.unitGiven ? scan.unitPort : opt.ports[0];
  if (single.consoleBaud <= 0) {
    fprintf(stderr, "unitsim: bad --baud\n");
    return false;
  }
  if (!scan.bannerGiven) single.banner = defaultBanner(single.isRx);
  if (single.port != 0) opt.units.push_back(single);
  return true;
}

// Plugs on ports that exist; talkers on ports that exist and carry no unit.
static bool checkPlugAndTalkerPorts(const SimOptions &opt) {
  for (const PlugEvent &event : opt.plugEvents) {
    if (std::find(opt.ports.begin(), opt.ports.end(), event.port) == opt.ports.end()) {
      fprintf(stderr, "unitsim: the %s port %d is not in --ports\n", event.plug ? "plug's" : "unplug's",
              event.port);
      return false;
    }
  }
  for (const TalkerSetting &setting : opt.talkers) {
    bool listed = false, onUnit = false;
    for (int port : opt.ports) listed = listed || port == setting.port;
    for (const UnitOptions &unit : opt.units) onUnit = onUnit || unit.port == setting.port;
    for (const PlugEvent &event : opt.plugEvents) onUnit = onUnit || event.port == setting.port;
    if (!listed || onUnit) {
      fprintf(stderr, "unitsim: talker on COM%d: not one of --ports, or a unit's port\n", setting.port);
      return false;
    }
  }
  return true;
}

static bool parseOptions(int argc, char **argv, SimOptions &opt) {
  OptionScan scan;
  if (!readArguments(argc, argv, opt, scan)) return false;
  // Faults last, so that device=CODE applies to the --version given.
  for (const std::string &fault : scan.faults) {
    if (!parseFault(scan.single, fault.c_str())) {
      fprintf(stderr, "unitsim: unknown fault \"%s\" (see --help)\n", fault.c_str());
      return false;
    }
  }
  if (opt.comDir.empty()) {
    fprintf(stderr, "unitsim: --com-dir is required (see --help)\n");
    return false;
  }
  // Plugs keep their order of time; two at the same time, their order given.
  std::stable_sort(opt.plugEvents.begin(), opt.plugEvents.end(),
                   [](const PlugEvent &a, const PlugEvent &b) { return a.at < b.at; });
  const bool bench =
      !opt.units.empty() || (!opt.plugEvents.empty() && !scan.unitGiven && !scan.singleUnitOptions);
  if (!(bench ? settleBench(opt, scan) : settleSingleUnit(opt, scan))) return false;
  return checkPlugAndTalkerPorts(opt);
}

std::unique_ptr<PortDevice> Simulator::deviceFor(int port) {
  for (const UnitOptions &unit : opt_.units) {
    if (unit.port != port) continue;
    auto device = std::make_unique<SimUnit>(unit, opt_.bench);
    unitOn_.back() = device.get();
    unitsPlugged_.back() = 1;
    return device;
  }
  for (const TalkerSetting &setting : opt_.talkers)
    if (setting.port == port) return std::make_unique<Talker>(setting, opt_.othersGarbage);
  return std::make_unique<SilentDevice>(opt_.othersGarbage);
}

bool Simulator::start(void) {
  if (!log_.open(opt_.logPath)) return false;
  // The folder of port links is made when missing (with its parents), so
  // that "unitsim --com-dir ports" works in a fresh folder.
  std::error_code made;
  std::filesystem::create_directories(opt_.comDir, made);
  if (made) {
    fprintf(stderr, "unitsim: cannot create the folder %s: %s\n", opt_.comDir.c_str(),
            made.message().c_str());
    return false;
  }
  ports_.reserve(opt_.ports.size());
  for (int number : opt_.ports) ports_.emplace_back(number, opt_.pace, &log_);
  for (SimPort &port : ports_)
    if (!port.create(opt_.comDir)) return false;
  // Plugged in once every port exists, so that a talker starts with the run.
  for (SimPort &port : ports_) {
    unitOn_.push_back(nullptr);
    unitsPlugged_.push_back(0);
    devices_.push_back(deviceFor(port.number()));
    port.plug(devices_.back().get());
  }
  startedAt_ = nowMono();
  return true;
}

void Simulator::plugInto(size_t portIndex, std::unique_ptr<PortDevice> device, SimUnit *unit,
                         const char *event, const std::string &detail) {
  ports_[portIndex].replug(device.get(), event, detail);
  unitOn_[portIndex] = unit;
  // The device pulled out stays owned here: a port only points at its device.
  devices_.push_back(std::move(device));
}

void Simulator::changePlugs(double now, double *nextDeadline) {
  for (; nextPlugEvent_ < opt_.plugEvents.size(); nextPlugEvent_++) {
    const PlugEvent &event = opt_.plugEvents[nextPlugEvent_];
    const double at = startedAt_ + event.at;
    if (at > now) {
      if (at < *nextDeadline) *nextDeadline = at;
      break;
    }
    for (size_t i = 0; i < ports_.size(); i++) {
      if (ports_[i].number() != event.port || !ports_[i].alive()) continue;
      if (!event.plug) {
        plugInto(i, std::make_unique<SilentDevice>(opt_.othersGarbage), nullptr, "unplug", "");
        continue;
      }
      UnitOptions unit = event.unit;
      unit.plugNumber = ++unitsPlugged_[i];
      auto device = std::make_unique<SimUnit>(unit, opt_.bench);
      SimUnit *plugged = device.get();
      plugInto(i, std::move(device), plugged, "plug",
               std::string(unit.isRx ? "rx " : "tx ") + std::to_string(unit.consoleBaud) + " unit " +
                   std::to_string(unit.plugNumber));
    }
  }
  if (opt_.unplugAfterUpdate < 0) return;
  for (size_t i = 0; i < ports_.size(); i++) {
    if (unitOn_[i] == nullptr || unitOn_[i]->releaseReportedAt() == 0 || !ports_[i].alive()) continue;
    const double at = unitOn_[i]->releaseReportedAt() + opt_.unplugAfterUpdate;
    if (at <= now)
      plugInto(i, std::make_unique<SilentDevice>(opt_.othersGarbage), nullptr, "unplug", "updated");
    else if (at < *nextDeadline)
      *nextDeadline = at;
  }
}

void Simulator::stop(void) {
  for (SimPort &port : ports_) port.hangUp();
  log_.close();
}

void Simulator::printPorts(void) const {
  for (const SimPort &port : ports_) {
    const char *kind = "";
    for (const TalkerSetting &setting : opt_.talkers)
      if (setting.port == port.number()) kind = " talker";
    for (const UnitOptions &unit : opt_.units)
      if (unit.port == port.number()) kind = " unit";
    printf("COM%d %s%s\n", port.number(), port.slaveName().c_str(), kind);
  }
}

bool Simulator::run(const volatile sig_atomic_t *stopFlag) {
  double stopAt = nowMono() + opt_.maxSeconds;
  std::vector<struct pollfd> fds;
  while (!*stopFlag) {
    double now = nowMono();
    if (now >= stopAt) break;
    double deadline = stopAt;
    changePlugs(now, &deadline);
    bool anyAlive = false;
    for (SimPort &port : ports_) {
      if (!port.alive()) continue;
      port.serviceTimers(now, &deadline);
      if (port.alive()) anyAlive = true;
    }
    if (!anyAlive) break;

    fds.clear();
    for (const SimPort &port : ports_) fds.push_back(port.pollRequest());
    now = nowMono();
    int timeoutMs = deadline <= now ? 0 : (int)((deadline - now) * 1000.0) + 1;
    if (timeoutMs > 100) timeoutMs = 100;  // keeps an eye on the stop flag
    // Returns the number of ready descriptors, 0 on timeout, -1 upon failure.
    int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      perror("unitsim: poll");
      return false;
    }
    for (size_t i = 0; i < ports_.size(); i++) ports_[i].serviceEvents(fds[i].revents);
  }
  return true;
}

int main(int argc, char **argv) {
  // Before anything is opened: a closed descriptor must not become a pty's or the wire log's.
  if (!standardStreams_ensureOpen()) return 1;
  SimOptions opt;
  if (!parseOptions(argc, argv, opt)) return 2;
  srand(opt.seed);
  simUnit_setLineSeed(opt.seed);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  sigaction(SIGTERM, &action, NULL);
  sigaction(SIGINT, &action, NULL);
  sigaction(SIGHUP, &action, NULL);
  signal(SIGPIPE, SIG_IGN);

  Simulator sim(opt);
  if (!sim.start()) {
    sim.stop();
    return 1;
  }
  sim.printPorts();
  if (!opt.readyFile.empty()) {
    FILE *ready = fopen(opt.readyFile.c_str(), "w");
    if (ready != NULL) {
      fprintf(ready, "%s\n", opt.comDir.c_str());
      fclose(ready);
    }
  }
  printf("ready %s\n", opt.comDir.c_str());
  fflush(stdout);

  int status = sim.run(&gStop) ? 0 : 1;
  sim.stop();
  fprintf(stderr, "unitsim: stopped%s\n", gStop ? " (signal)" : "");
  return status;
}
