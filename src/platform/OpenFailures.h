// Why the last open of each COM port failed, kept per process.
//
// Detection skips a port it cannot open without a word, as the updater's
// console must. The tool's commands read this record afterwards to tell the
// technician why a port gave no unit: absent, held by another program, or not
// ours to open. The platform layer writes it at every open of "\\.\COMn"
// (a successful open clears the port's entry), and the open of any other name
// (a device's path) under port 0, for the serial layer to keep under the port
// number it gave that device; nothing is ever printed here.
#ifndef OPENFAILURES_H
#define OPENFAILURES_H

#define OPEN_FAILURES_LAST_PORT 4096  // the highest COM number a name "\\.\COMn" is read for

typedef struct PortOpenFailure {
  long code;              // errno (POSIX) or GetLastError (Windows) of the open
  long holderPid;         // the program holding the port, 0 when none is known
  char holderName[64];    // its name, "" when the system does not tell
  int heldBySystemConsole;  // the port is the system's console
} PortOpenFailure;

// Records the outcome of an open of COMport: `failure` null for a successful
// open. Port 0 is the last open of a name that is no COM name.
void openFailures_note(int port, const PortOpenFailure *failure);
// Copies the failure of the last open of COMport into `out`; 0 when the last
// open succeeded or the port was never opened.
int openFailures_find(int port, PortOpenFailure *out);
// The COM number in a device name "\\.\COMn" (any case), 0 for another name.
int openFailures_portOfName(const char *name);

#endif  // OPENFAILURES_H
