// One kind of port: the operations the serial calls (SerialCalls.h) make on
// it, with the meaning of the kernel32 calls they stand for. The open of a
// port number picks the kind once, from the port's description; every later
// call follows the opened port's interface.
//
// An interface's handles are its own: SerialCalls gives the driver a handle
// of its own for each opened port, which holds the interface and its handle.
#ifndef PORTINTERFACE_H
#define PORTINTERFACE_H

#include <string>

#include "platform/Platform.h"
#include "platform/SystemError.h"
#include "serial/PortDescription.h"

// The driver's CreateFileA, less the arguments it always passes as null.
struct PortOpenRequest {
  LPCSTR name;  // "\\.\COMn"
  DWORD access, shareMode, creationDisposition, flagsAndAttributes;
};

struct PortInterface {
  const char *kind;  // "local", "rfc2217", "socket"
  // Opens the port and traces it. INVALID_HANDLE_VALUE upon failure, with the
  // reason in *error.
  HANDLE (*open)(const PortDescription &port, const PortOpenRequest &request, SystemError *error);
  BOOL (*close)(HANDLE handle);
  BOOL (*setupComm)(HANDLE handle, DWORD inQueue, DWORD outQueue);
  BOOL (*setTimeouts)(HANDLE handle, COMMTIMEOUTS *timeouts);
  BOOL (*setState)(HANDLE handle, DCB *dcb);
  BOOL (*purge)(HANDLE handle, DWORD flags);
  BOOL (*escape)(HANDLE handle, DWORD function);
  BOOL (*read)(HANDLE handle, void *buffer, DWORD count, DWORD *done);
  BOOL (*write)(HANDLE handle, const void *buffer, DWORD count, DWORD *done);
  // What a reply may take beyond its time on a local line (see ComPortAPI.h).
  int (*replyDelayMs)(HANDLE handle);
  // Why the last open of `port` failed (PortDescription.h), "" when it did not.
  std::string (*openFailure)(int port);
};

// The local device (the platform's serial calls) and the two network kinds.
const PortInterface *localPort_interface(void);
const PortInterface *networkPort_interface(PortKind kind);
// The interface a port's kind is opened with.
const PortInterface *portInterface_of(const PortDescription &port);

#endif  // PORTINTERFACE_H
