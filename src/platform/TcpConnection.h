// A TCP connection to a terminal server, over the socket calls of TcpSockets.h:
// BSD sockets on POSIX, Winsock on Windows.
//
// Every call is bounded in time. The socket stays non-blocking once connected,
// has Nagle's delay off (TCP_NODELAY: the unit's exchange is small commands
// and short replies) and is not inherited by child processes. A peer that
// goes away never raises SIGPIPE: its next send or receive fails instead.
#ifndef TCPCONNECTION_H
#define TCPCONNECTION_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>

#define TCP_CONNECT_TIMEOUT_MS 5000
#define TCP_NO_SOCKET ((intptr_t)-1)

// What tcpConnection_receive returns besides a byte count.
#define TCP_RECEIVE_TIMEOUT 0
#define TCP_RECEIVE_CLOSED (-1)  // the peer closed or reset the connection
#define TCP_RECEIVE_FAILED (-2)  // any other failure, the connection closed here among them

struct TcpConnection {
  // The descriptor (SOCKET on Windows), TCP_NO_SOCKET while closed. Atomic so
  // that an interrupt handler can close the connection under any other call.
  std::atomic<intptr_t> socket{TCP_NO_SOCKET};
};

// Connects to host:port (a name, an IPv4 or IPv6 address without brackets),
// trying each address the name resolves to in turn until one answers, all
// within TCP_CONNECT_TIMEOUT_MS, the name's lookup included. An address is
// read as a number, never sent to a name server. FALSE with the reason in
// *reason ("connection refused", "name not resolved: HOST", "name not
// resolved: HOST (timed out after 5 s)", "timed out after 5 s").
bool tcpConnection_open(TcpConnection *connection, const char *host, int port, std::string *reason);

// Sends all of data unless the connection fails or timeoutMs goes by without
// the peer taking any of it; FALSE with the reason in *reason.
bool tcpConnection_send(TcpConnection *connection, const char *data, size_t size, int timeoutMs,
                        std::string *reason);

// Waits up to timeoutMs for bytes and returns those there are (at most size),
// or one of the TCP_RECEIVE_ results, with the reason in *reason (may be NULL)
// for CLOSED and FAILED.
int tcpConnection_receive(TcpConnection *connection, char *buffer, int size, int timeoutMs,
                          std::string *reason);

// Closes the connection; nothing happens when it is closed already. On POSIX
// it is async-signal-safe (close() only), for the interrupt handler.
void tcpConnection_close(TcpConnection *connection);

#endif  // TCPCONNECTION_H
