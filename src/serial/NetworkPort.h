// A unit behind a terminal server, reached like a COM port: the address gets a
// port number past COM255 (networkPort_register), the driver opens that number
// as it opens COMn, and the serial calls (SerialCalls.h) send each call on the
// handle the open gave to the functions here, which have the same meaning as
// the kernel32 calls they stand for.
//
// rfc2217://: Telnet with COM-PORT-OPTION. The line settings travel to the
// server; SetCommState returns only once the server has acknowledged the new
// baud rate, so no byte leaves at the old rate after it. Modem lines and flow
// control are sent without waiting: servers need not acknowledge them.
// socket://: raw bytes; the line settings stay the server's and every setting
// call succeeds without sending anything.
//
// Reads keep the Windows timeouts of the local port (see
// platform/ReadDeadline.h). A server that closes or resets the connection
// fails the next read at once, as an unplugged adapter does; bytes received
// before that are read first.
#ifndef NETWORKPORT_H
#define NETWORKPORT_H

#include "platform/Platform.h"
#include "platform/SystemError.h"
#include "serial/PortAddress.h"

#define NETWORK_PORT_FIRST (PORT_ADDRESS_LAST_COM + 1)
#define NETWORK_PORT_ADDRESSES 64
#define NETWORK_PORT_ACK_TIMEOUT_MS 3000  // for the server's SET-BAUDRATE acknowledgement

// The port number of a network address (the same number each time the same
// address is registered), 0 for a COM address or when the table is full.
int networkPort_register(const PortAddress *address);
// The address registered under `port`, NULL for any other number.
const PortAddress *networkPort_address(int port);
// TRUE for a handle networkPort_open gave, also after its close.
BOOL networkPort_owns(HANDLE handle);

// Connects to the address of `port` (and negotiates, for rfc2217://).
// INVALID_HANDLE_VALUE upon failure, with the reason in networkPort_openError.
HANDLE networkPort_open(int port);
const SystemError *networkPort_openError(void);

BOOL networkPort_close(HANDLE handle);
BOOL networkPort_setupComm(HANDLE handle);
BOOL networkPort_setTimeouts(HANDLE handle, const COMMTIMEOUTS *timeouts);
BOOL networkPort_setState(HANDLE handle, const DCB *dcb);
BOOL networkPort_purge(HANDLE handle, DWORD flags);
BOOL networkPort_escape(HANDLE handle, DWORD function);
BOOL networkPort_read(HANDLE handle, void *buffer, DWORD count, DWORD *done);
BOOL networkPort_write(HANDLE handle, const void *buffer, DWORD count, DWORD *done);

#endif  // NETWORKPORT_H
