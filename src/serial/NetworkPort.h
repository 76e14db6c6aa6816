// A unit behind a terminal server, reached like a COM port: the address gets a
// port number past the COM numbers (portRegistry_register), the driver opens
// that number as it opens COMn, and the serial calls (SerialCalls.h) send each
// call on the opened port through its interface (networkPort_interface) to the
// functions here, which have the same meaning as the kernel32 calls they stand
// for.
//
// rfc2217://: Telnet with COM-PORT-OPTION, in BINARY mode both ways. The open
// asks the server for its line's rate, so a server that would never
// acknowledge a setting fails the open. The line settings travel to the
// server; SetCommState returns only once the server has acknowledged the new
// baud rate, so no byte leaves at the old rate after it. Modem lines and flow
// control are sent without waiting: servers need not acknowledge them.
// socket://: raw bytes; the line settings stay the server's and every setting
// call succeeds without sending anything.
//
// Reads keep the Windows timeouts of the local port (see
// platform/ReadDeadline.h). A server that closes or resets the connection
// fails the next read or write at once, as an unplugged adapter does; bytes
// received before that are read first.
//
// Writes keep pace with the serial line behind the server. A local port's
// write returns once the line has nearly sent the bytes; a TCP send returns
// once the bytes are in the socket's buffers, which (with the server's) can
// hold many seconds of a 115200 baud line. A reply awaited after the last
// write of an image would then come long after its read timeout. So each
// write returns only when, at the rate last set, the line has at most
// NETWORK_PORT_WRITE_LEAD_MS of it left to send.
#ifndef NETWORKPORT_H
#define NETWORKPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "platform/Platform.h"
#include "platform/SystemError.h"
#include "serial/LinkTiming.h"
#include "serial/PortDescription.h"

#define NETWORK_PORT_FIRST PORT_REGISTRY_FIRST
#define NETWORK_PORT_ACK_TIMEOUT_MS 3000  // for the server's SET-BAUDRATE acknowledgement
#define NETWORK_PORT_WRITE_LEAD_MS 200    // how far a write may run ahead of the line
#define NETWORK_PORT_RECEIVE_HOLD 65536   // received bytes kept unread; what follows is dropped

// Time a reply needs on a network port beyond what it needs on a local line.
// The command travels to the unit and the reply back: one round trip, which
// the open measures (the Telnet negotiation's answer and the line rate's
// acknowledgement for rfc2217://, the TCP handshake for socket://), and so
// does each acknowledged setting after it. Every read stretches its timeouts
// by the slowest round trip and the spread seen (LinkTiming.h).
#define NETWORK_PORT_REPLY_DELAY_FLOOR_MS (2 * LINK_TIMING_FLOOR_MS)

// What a whole reply may take on an open network port beyond its time on a
// local line (its first byte later, its pauses longer), 0 for any other
// handle.
int networkPort_replyDelayMs(HANDLE handle);
// A session the server ended while nothing was in flight (the unit
// rebooting, the pause between two images) is opened again, with the same
// timeouts and line settings, dialling for up to RESUME_WINDOW_MS while the
// server refuses or drops new connections. 0: the session was not lost (or
// the handle is no open network port); 1: it was, and is open again; -1: it
// was, and could not be opened again (networkPort_failure says why).
int networkPort_resume(HANDLE handle);
// The text the unit's next replies end with ("" or NULL: none known), kept
// until changed. Once what was read since the last write ends with it, the
// reply is whole: the reads that follow keep only their own windows, without
// the link's allowance (a silence long enough to end the reply on a local
// line need not wait for the link's spread as well).
void networkPort_expectReplyEnd(HANDLE handle, const char *ending);
// Whether the server ended an open port's session.
BOOL networkPort_lost(HANDLE handle);
// Closes every open connection's socket and nothing else: for the interrupt
// handler (async-signal-safe on POSIX). The calls that follow fail.
void networkPort_closeAllSockets(void);

// Connects to the address of `port` (and negotiates, for rfc2217://).
// INVALID_HANDLE_VALUE upon failure, with the reason in networkPort_openError.
HANDLE networkPort_open(int port);
const SystemError *networkPort_openError(void);
// Why the last connection to the address of `port` failed or was given up
// ("connection refused", "the server refuses BINARY ...", "no acknowledgement
// of SET-BAUDRATE within 3 s"), empty while none was.
std::string networkPort_failure(int port);
// The data bytes an open port holds received and unread, at most
// NETWORK_PORT_RECEIVE_HOLD, and in *dropped the count it dropped beyond
// that: a server that floods while nothing reads costs no more memory. 0 for
// any other handle.
size_t networkPort_held(HANDLE handle, uint64_t *dropped);

BOOL networkPort_close(HANDLE handle);
BOOL networkPort_setupComm(HANDLE handle);
BOOL networkPort_setTimeouts(HANDLE handle, const COMMTIMEOUTS *timeouts);
BOOL networkPort_setState(HANDLE handle, const DCB *dcb);
BOOL networkPort_purge(HANDLE handle, DWORD flags);
BOOL networkPort_escape(HANDLE handle, DWORD function);
BOOL networkPort_read(HANDLE handle, void *buffer, DWORD count, DWORD *done);
BOOL networkPort_write(HANDLE handle, const void *buffer, DWORD count, DWORD *done);

#endif  // NETWORKPORT_H
