// The system's serial calls as the driver makes them: one function per
// kernel32 call, with its arguments (less those the driver always passes as
// null: security attributes, template, overlapped) and its result. Each makes
// the call and, while the wire trace is on, records it there.
//
// A network port (rfc2217://, socket://) goes here, beside the local device:
// the open picks the kind, each later call follows its handle, and nothing
// above this layer (driver, exchange, detection, update, trace) tells them apart.
#ifndef SERIALCALLS_H
#define SERIALCALLS_H

#include "platform/Platform.h"

// CreateFileA on COMn's device name; `port` names it in the trace.
HANDLE serialCalls_CreateFile(int port, LPCSTR name, DWORD access, DWORD shareMode,
                              DWORD creationDisposition, DWORD flagsAndAttributes);
BOOL serialCalls_CloseHandle(HANDLE handle);
BOOL serialCalls_SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue);
// On a handle that is not open the trace records the value as kept for the
// next open, which is what the driver does with it.
BOOL serialCalls_SetCommTimeouts(HANDLE handle, COMMTIMEOUTS *timeouts);
BOOL serialCalls_SetCommState(HANDLE handle, DCB *dcb);
BOOL serialCalls_PurgeComm(HANDLE handle, DWORD flags);
BOOL serialCalls_EscapeCommFunction(HANDLE handle, DWORD function);
BOOL serialCalls_ReadFile(HANDLE handle, void *buffer, DWORD count, DWORD *done);
BOOL serialCalls_WriteFile(HANDLE handle, const void *buffer, DWORD count, DWORD *done);

#endif  // SERIALCALLS_H
