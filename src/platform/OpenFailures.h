// Why the last open of each COM port failed, kept per process.
//
// Detection skips a port it cannot open without a word, as the updater's
// console must. The tool's commands read this record afterwards to tell the
// technician why a port gave no unit: absent, held by another program, or not
// ours to open. The platform layer writes it at every open of "\\.\COMn"
// (a successful open clears the port's entry); nothing is ever printed here.
#ifndef OPENFAILURES_H
#define OPENFAILURES_H

#define OPEN_FAILURES_LAST_PORT 255  // COM1 to COM255 are recorded

typedef struct PortOpenFailure {
  long code;              // errno (POSIX) or GetLastError (Windows) of the open
  long holderPid;         // the program holding the port, 0 when none is known
  char holderName[64];    // its name, "" when the system does not tell
  int heldBySystemConsole;  // the port is the system's console
} PortOpenFailure;

// Records the outcome of an open of COMport: `failure` null for a successful
// open. Ports out of 1..OPEN_FAILURES_LAST_PORT are not recorded.
void openFailures_note(int port, const PortOpenFailure *failure);
// Copies the failure of the last open of COMport into `out`; 0 when the last
// open succeeded or the port was never opened.
int openFailures_find(int port, PortOpenFailure *out);
// The COM number in a device name "\\.\COMn" (any case), 0 for another name.
int openFailures_portOfName(const char *name);

#endif  // OPENFAILURES_H
