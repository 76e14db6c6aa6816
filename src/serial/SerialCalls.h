// The system's serial calls as the driver makes them: one function per
// kernel32 call, with its arguments (less those the driver always passes as
// null: security attributes, template, overlapped) and its result. Each makes
// the call and, while the wire trace is on, records it there.
//
// Every kind of port goes here (PortInterface.h: the local device, rfc2217://,
// socket://): the open picks the kind from the port's description, each later
// call follows the opened port's interface, and nothing above this layer
// (driver, exchange, detection, update, trace) tells them apart.
#ifndef SERIALCALLS_H
#define SERIALCALLS_H

#include "platform/Platform.h"
#include "platform/SystemError.h"

// CreateFileA on COMn's device name, or the open of the registered port
// `port` (PortDescription.h), which also names it in the trace.
HANDLE serialCalls_CreateFile(int port, LPCSTR name, DWORD access, DWORD shareMode,
                              DWORD creationDisposition, DWORD flagsAndAttributes);
// The error of the last open that failed, with the port kind's own text (a
// network port's "connection refused" rather than the system's number only).
const SystemError *serialCalls_openError(void);
// What a reply on the open port may take beyond its time on a local line.
int serialCalls_replyDelayMs(HANDLE handle);
// A session its server ended opened again (NetworkPort.h, networkPort_resume):
// 0 nothing was lost (always on a local port), 1 opened again, -1 lost for good.
int serialCalls_resumeSession(HANDLE handle);
// The text the unit's replies end with (NetworkPort.h, networkPort_expectReplyEnd);
// nothing on a local port.
void serialCalls_expectReplyEnd(HANDLE handle, const char *ending);
// Whether the server ended the open port's session (FALSE on a local port).
BOOL serialCalls_sessionLost(HANDLE handle);
BOOL serialCalls_CloseHandle(HANDLE handle);
BOOL serialCalls_SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue);
// On a handle that is not open the trace records the value as kept for the
// next open, which is what the driver does with it.
BOOL serialCalls_SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts);
BOOL serialCalls_SetCommState(HANDLE handle, DCB *dcb);
BOOL serialCalls_PurgeComm(HANDLE handle, DWORD flags);
BOOL serialCalls_EscapeCommFunction(HANDLE handle, DWORD function);
// For an interrupt's stop on POSIX, which ends the process next: every open
// port drops what is still queued for its line rather than send it, and is
// given up at once (a network port's connection is closed), each close written
// to the trace when that can be done safely. Async-signal-safe: it runs in the
// signal handler. (Windows ends the process instead, which closes the ports
// and cancels their pending writes.)
#ifndef _WIN32
void serialCalls_closeAllAtStop(void);
#endif
BOOL serialCalls_ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *done);
BOOL serialCalls_WriteFile(HANDLE handle, const void *buffer, DWORD count, DWORD *done);

#endif  // SERIALCALLS_H
