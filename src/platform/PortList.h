// The serial ports the updater would scan, as the system shows them: one file
// per platform (PortListPosix.cpp, PortListWin32.cpp), chosen by CMake.
#ifndef PORTLIST_H
#define PORTLIST_H

#include <string>
#include <utility>
#include <vector>

// The highest COM number. Windows numbers a COM port up to 4096 (the
// system's COM database), and a station PC that has seen many adapters uses
// high ones; the POSIX table of COM names ends far below 255.
#ifdef _WIN32
#define PORT_LIST_LAST_COM 4096
#else
#define PORT_LIST_LAST_COM 255
#endif

// PORT_DENIED: the port is there but this user may not open it (POSIX EACCES).
enum PortState { PORT_ABSENT, PORT_FREE, PORT_BUSY, PORT_DENIED };

struct PortEntry {
  int number = 0;            // COMn
  std::string device;        // the device behind it
  std::string friendlyName;  // the system's description, where it gives one
  PortState state = PORT_ABSENT;
  std::string reason;        // the system's error text of a failed open
  long holderPid = 0;        // the process holding a busy port, 0 when unknown
  std::string holderName;
};

// The device behind COMn as the system sees it (POSIX: the table's path or
// FWUPGRADE_COM_DIR's link; Windows: the DOS device target).
std::string portList_device(int port);
// The device an open of COMn by its name ("\\.\COMn") reaches, as the wire
// trace names it: POSIX portList_device(), "" when COMn has none; Windows the name
// itself, which the system resolves inside the open.
std::string portList_deviceOfOpen(int port, const char *name);

// "1-8,12": port numbers from 1 to PORT_LIST_LAST_COM, in the order given, each once.
bool portList_parse(const std::string &text, std::vector<int> *ports);

// COM1 to COM32, plus (Windows) every other COM port present in the system.
std::vector<int> portList_ports(void);
// The device and friendly name of COMn.
void portList_describe(PortEntry *entry);
// The state (and holder) of a device without a COM number, a system port
// beyond the updater's table, from an open closed again at once.
void portList_checkDevice(PortEntry *entry);
// Sorts a failed open into absent, busy or denied from the system's error code.
PortState portList_stateOfFailedOpen(long systemError);
// What a failed open found instead of a serial port ("not a serial port": a
// plain file, a fifo, /dev/null; "a folder, not a serial port"); "" for any
// other failure. Such a port counts as absent.
std::string portList_notSerialText(long systemError);
// Fills holderPid / holderName of a busy port where the system shows them.
void portList_findHolder(PortEntry *entry);

// "free", "busy", "denied" or "absent", as ports shows a state.
const char *portList_stateName(PortState state);

// Why the last open of COMn failed, from the platform layer's record, as the
// text after "COMn: " ("absent", "held by PID 1234 (minicom)", "no permission
// ..." with the remedy); "" when it did not fail or was never tried.
std::string openFailures_text(int port);
// True for the text of a port that does not exist.
bool openFailures_isAbsent(const std::string &text);
// Prints "TessaranFwTool: COMn: <text>" on stderr for each port, in the order
// given; a run of consecutive absent ports takes one line ("COM5 to COM32:
// absent").
void openFailures_print(const std::vector<std::pair<int, std::string>> &failures);
// The same for the ports first..last as this process last opened them.
void openFailures_printRange(int firstPort, int lastPort);

#endif  // PORTLIST_H
