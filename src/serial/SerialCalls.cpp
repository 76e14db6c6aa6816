// Each call goes to the opened port's interface first; its trace record
// follows from its result.
//
// The driver's handle names a Port here: the interface the open chose, the
// interface's own handle, and the port it was opened for. A closed Port
// keeps its entry until its slot is opened again (platform/HandleTable.h), so
// that a late call on the old handle fails cleanly and is still recorded
// under its port.
#include "serial/SerialCalls.h"

#include <stdint.h>
#include <stdio.h>

#include "platform/HandleTable.h"
#include "serial/NetworkPort.h"
#include "serial/PortInterface.h"
#include "serial/SerialTrace.h"

#define PORTS 32  // more than the local and network ports that can be open at once

typedef struct Port {
  const PortInterface *ops;  // the interface; NULL while the slot was never used
  HANDLE handle;             // the interface's own
  int port;
  std::string name;
  BOOL open;
} Port;

static HandleTable<Port, PORTS> gPorts;
static SystemError gOpenError;

// The Port a handle names, NULL for one that names none (null, invalid, a
// slot opened again since).
static Port *portOf(HANDLE handle) { return gPorts.entryOf(handle); }

// The error a call on a handle that names no open port gets.
static BOOL noPort(void) {
  // The local interface's calls refuse a null handle with the system's own error.
  return localPort_interface()->setupComm(NULL, 0, 0);
}

static BOOL isOpen(HANDLE handle) {
  const Port *port = portOf(handle);
  return port != NULL && port->open;
}

// The open Port of a handle, NULL (with the system's error set) otherwise.
static Port *openPort(HANDLE handle) {
  Port *port = portOf(handle);
  if (port != NULL && port->open) return port;
  noPort();
  return NULL;
}

static TraceOutcome outcomeOf(BOOL ok) { return ok ? TRACE_OK : TRACE_FAILED; }

// The trace's name for a setter's call: with no port open the call fails and
// only the driver's record keeps the value for the next open.
#define KEPT_FOR_NEXT_OPEN "(no port open, kept for the next open)"

HANDLE serialCalls_CreateFile(int port, LPCSTR name, DWORD access, DWORD shareMode,
                              DWORD creationDisposition, DWORD flagsAndAttributes) {
  const PortDescription description = portDescription_of(port);
  int slot = 0;
  while (slot < PORTS && gPorts[slot].open) slot++;
  HANDLE inner = INVALID_HANDLE_VALUE;
  if (slot < PORTS) {
    const PortOpenRequest request = {name, access, shareMode, creationDisposition,
                                     flagsAndAttributes};
    inner = portInterface_of(description)->open(description, request, &gOpenError);
  } else {
    gOpenError = SystemError{0, "too many ports open"};
    serialTrace_note("open %s FAILED: %s", description.name.c_str(), gOpenError.text);
  }
  if (inner == INVALID_HANDLE_VALUE) {
    // The caller reads the open's error after the record is written.
    systemError_restore(&gOpenError);
    return INVALID_HANDLE_VALUE;
  }
  Port *opened = &gPorts[slot];
  opened->ops = portInterface_of(description);
  opened->handle = inner;
  opened->port = port;
  opened->name = description.name;
  opened->open = TRUE;
  return gPorts.start(slot);
}

const SystemError *serialCalls_openError(void) { return &gOpenError; }

BOOL serialCalls_CloseHandle(HANDLE handle) {
  Port *port = portOf(handle);
  const BOOL ok = port != NULL && port->open ? port->ops->close(port->handle) : noPort();
  if (port != NULL) port->open = FALSE;
  serialTrace_close(port != NULL ? port->name.c_str() : "COM0", outcomeOf(ok));
  return ok;
}

#ifndef _WIN32
void serialCalls_closeAllAtStop(void) {
  // A network port's purge waits for the server's acknowledgement and its
  // close writes to the trace: its socket alone is closed, which the server
  // takes as the end of the session, freeing its line at once.
  networkPort_closeAllSockets();
  for (int slot = 0; slot < PORTS; slot++) {
    Port *port = &gPorts[slot];
    if (!port->open) continue;
    port->open = FALSE;
    BOOL ok = TRUE;
    if (port->ops == localPort_interface()) {
      // Without the purge, the close waits for the queue to drain: on a real
      // UART held back by CTS or a slow line, seconds of bytes the unit must
      // no longer get.
      port->ops->purge(port->handle, PURGE_TXABORT | PURGE_TXCLEAR);
      ok = port->ops->close(port->handle);
    }
    serialTrace_closeAtStop(port->name.c_str(), outcomeOf(ok));
  }
}
#endif

BOOL serialCalls_SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
  Port *port = openPort(handle);
  const BOOL ok = port != NULL && port->ops->setupComm(port->handle, inQueue, outQueue);
  serialTrace_call("SetupComm", outcomeOf(ok));
  return ok;
}

BOOL serialCalls_SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
  Port *port = openPort(handle);
  const BOOL ok = port != NULL && port->ops->setTimeouts(port->handle, timeouts);
  if (isOpen(handle))
    serialTrace_timeouts(timeouts, outcomeOf(ok));
  else
    serialTrace_note("read timeouts %d ms " KEPT_FOR_NEXT_OPEN, (int)timeouts->ReadIntervalTimeout);
  return ok;
}

BOOL serialCalls_SetCommState(HANDLE handle, DCB *dcb) {
  Port *port = openPort(handle);
  const BOOL ok = port != NULL && port->ops->setState(port->handle, dcb);
  if (isOpen(handle))
    serialTrace_state("SetCommState", dcb, outcomeOf(ok));
  else
    serialTrace_state(KEPT_FOR_NEXT_OPEN, dcb, ok ? TRACE_OK : TRACE_KEPT);
  return ok;
}

BOOL serialCalls_PurgeComm(HANDLE handle, DWORD flags) {
  Port *port = openPort(handle);
  const BOOL ok = port != NULL && port->ops->purge(port->handle, flags);
  serialTrace_call("PurgeComm", outcomeOf(ok));
  return ok;
}

static const char *escapeName(DWORD function) {
  switch (function) {
    case SETXOFF: return "SETXOFF";
    case SETXON: return "SETXON";
    case SETRTS: return "SETRTS";
    case CLRRTS: return "CLRRTS";
    case SETDTR: return "SETDTR";
    case CLRDTR: return "CLRDTR";
    default: return "?";
  }
}

BOOL serialCalls_EscapeCommFunction(HANDLE handle, DWORD function) {
  Port *port = openPort(handle);
  const BOOL ok = port != NULL && port->ops->escape(port->handle, function);
  if (!serialTrace_enabled()) return ok;
  TraceOutcome outcome = TRACE_OK;
  if (!ok) {
    // A line without modem lines (a pseudo-terminal) refuses them: expected there.
    SystemError error;
    systemError_capture(&error);
    outcome = systemError_isUnsupported(&error) ? TRACE_UNSUPPORTED : TRACE_FAILED;
  }
  char call[48];
  snprintf(call, sizeof call, "EscapeCommFunction %s", escapeName(function));
  serialTrace_call(call, outcome);
  return ok;
}

static BOOL readFile(HANDLE handle, void *buffer, DWORD count, DWORD *done) {
  Port *port = openPort(handle);
  if (port == NULL) *done = 0;
  return port != NULL && port->ops->read(port->handle, buffer, count, done);
}

static BOOL writeFile(HANDLE handle, const void *buffer, DWORD count, DWORD *done) {
  Port *port = openPort(handle);
  if (port == NULL) *done = 0;
  return port != NULL && port->ops->write(port->handle, buffer, count, done);
}

BOOL serialCalls_ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *done) {
  if (!serialTrace_enabled()) return readFile(handle, buffer, count, done);
  const double startedMs = serialTrace_nowMs();
  const BOOL ok = readFile(handle, buffer, count, done);
  serialTrace_io("read", (int)count, (int)*done, serialTrace_nowMs() - startedMs, buffer, ok);
  return ok;
}

BOOL serialCalls_WriteFile(HANDLE handle, const void *buffer, DWORD count, DWORD *done) {
  if (!serialTrace_enabled()) return writeFile(handle, buffer, count, done);
  const double startedMs = serialTrace_nowMs();
  const BOOL ok = writeFile(handle, buffer, count, done);
  serialTrace_io("write", (int)count, (int)*done, serialTrace_nowMs() - startedMs, buffer, ok);
  return ok;
}

int serialCalls_replyDelayMs(HANDLE handle) {
  const Port *port = portOf(handle);
  return port != NULL && port->open ? port->ops->replyDelayMs(port->handle) : 0;
}

// Only a network port has a session that its server can end and that can be
// opened again; a local port's handle is its device's for as long as it is open.
int serialCalls_resumeSession(HANDLE handle) {
  const Port *port = portOf(handle);
  if (port == NULL || !port->open || port->ops == localPort_interface()) return 0;
  return networkPort_resume(port->handle);
}

// A local port's reads keep their windows whatever the reply: nothing to do.
void serialCalls_expectReplyEnd(HANDLE handle, const char *ending) {
  const Port *port = portOf(handle);
  if (port == NULL || !port->open || port->ops == localPort_interface()) return;
  networkPort_expectReplyEnd(port->handle, ending);
}

BOOL serialCalls_sessionLost(HANDLE handle) {
  const Port *port = portOf(handle);
  if (port == NULL || !port->open || port->ops == localPort_interface()) return FALSE;
  return networkPort_lost(port->handle);
}
