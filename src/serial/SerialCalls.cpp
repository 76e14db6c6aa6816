// Each call goes to the system first; its trace record follows from its result.
#include "serial/SerialCalls.h"

#include <stdio.h>

#include "serial/NetworkPort.h"
#include "serial/SerialTrace.h"

#define OPEN_RECORDS 16

// The handles opened here and the COM number each was opened for. A closed
// handle keeps its entry until the entry is taken again, so that a late call
// on it is still recorded under its port.
typedef struct OpenRecord {
  HANDLE handle;
  int port;
  BOOL open;
} OpenRecord;

static OpenRecord gRecords[OPEN_RECORDS];

static OpenRecord *recordOf(HANDLE handle) {
  for (OpenRecord &record : gRecords)
    if (record.port != 0 && record.handle == handle) return &record;
  return NULL;
}

static void noteOpen(HANDLE handle, int port) {
  OpenRecord *record = recordOf(handle);
  for (int i = 0; record == NULL && i < OPEN_RECORDS; i++)
    if (!gRecords[i].open) record = &gRecords[i];
  if (record == NULL) record = &gRecords[0];  // sixteen handles open: the first is forgotten
  record->handle = handle;
  record->port = port;
  record->open = TRUE;
}

static BOOL isOpen(HANDLE handle) {
  const OpenRecord *record = recordOf(handle);
  return record != NULL && record->open;
}

static TraceOutcome outcomeOf(BOOL ok) { return ok ? TRACE_OK : TRACE_FAILED; }

// The trace's name for a setter's call: with no port open the call fails and
// only the driver's record keeps the value for the next open.
#define KEPT_FOR_NEXT_OPEN "(no port open, kept for the next open)"

HANDLE serialCalls_CreateFile(int port, LPCSTR name, DWORD access, DWORD shareMode,
                              DWORD creationDisposition, DWORD flagsAndAttributes) {
  if (networkPort_address(port) != NULL) {
    // The network port traces its connection itself.
    HANDLE handle = networkPort_open(port);
    if (handle != INVALID_HANDLE_VALUE) noteOpen(handle, port);
    return handle;
  }
  HANDLE handle =
      CreateFileA(name, access, shareMode, NULL, creationDisposition, flagsAndAttributes, NULL);
  const BOOL ok = handle != INVALID_HANDLE_VALUE;
  if (ok) noteOpen(handle, port);
  if (!serialTrace_enabled()) return handle;
  SystemError error = {0, ""};
  if (!ok) systemError_capture(&error);
  serialTrace_open(port, name, ok, &error);
  // The caller reads the open's error after the record is written.
  if (!ok) systemError_restore(&error);
  return handle;
}

BOOL serialCalls_CloseHandle(HANDLE handle) {
  const BOOL network = networkPort_owns(handle);
  const BOOL ok = network ? networkPort_close(handle) : CloseHandle(handle);
  OpenRecord *record = recordOf(handle);
  if (record != NULL) record->open = FALSE;
  const PortAddress *address = record != NULL ? networkPort_address(record->port) : NULL;
  if (network && address != NULL)
    serialTrace_note("close %s %s", portAddress_text(*address).c_str(), ok ? "ok" : "FAILED");
  else
    serialTrace_close(record != NULL ? record->port : 0, outcomeOf(ok));
  return ok;
}

BOOL serialCalls_SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
  const BOOL ok = networkPort_owns(handle) ? networkPort_setupComm(handle)
                                           : SetupComm(handle, inQueue, outQueue);
  serialTrace_call("SetupComm", outcomeOf(ok));
  return ok;
}

BOOL serialCalls_SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts) {
  const BOOL ok = networkPort_owns(handle) ? networkPort_setTimeouts(handle, timeouts)
                                           : SetCommTimeouts(handle, timeouts);
  if (isOpen(handle))
    serialTrace_timeouts(timeouts, outcomeOf(ok));
  else
    serialTrace_note("read timeouts %d ms " KEPT_FOR_NEXT_OPEN, (int)timeouts->ReadIntervalTimeout);
  return ok;
}

BOOL serialCalls_SetCommState(HANDLE handle, DCB *dcb) {
  const BOOL ok =
      networkPort_owns(handle) ? networkPort_setState(handle, dcb) : SetCommState(handle, dcb);
  if (isOpen(handle))
    serialTrace_state("SetCommState", dcb, outcomeOf(ok));
  else
    serialTrace_state(KEPT_FOR_NEXT_OPEN, dcb, ok ? TRACE_OK : TRACE_KEPT);
  return ok;
}

BOOL serialCalls_PurgeComm(HANDLE handle, DWORD flags) {
  const BOOL ok =
      networkPort_owns(handle) ? networkPort_purge(handle, flags) : PurgeComm(handle, flags);
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
  const BOOL ok = networkPort_owns(handle) ? networkPort_escape(handle, function)
                                           : EscapeCommFunction(handle, function);
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
  return networkPort_owns(handle) ? networkPort_read(handle, buffer, count, done)
                                  : ReadFile(handle, buffer, count, done, NULL);
}

static BOOL writeFile(HANDLE handle, const void *buffer, DWORD count, DWORD *done) {
  return networkPort_owns(handle) ? networkPort_write(handle, buffer, count, done)
                                  : WriteFile(handle, buffer, count, done, NULL);
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
