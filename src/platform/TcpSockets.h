// The socket calls a TcpConnection is made of, one file per platform
// (posix/TcpSocketsPosix.cpp, win32/TcpSocketsWin32.cpp); TcpConnection.cpp
// holds what both do with them. Errors are the system's codes (errno,
// WSAGetLastError).
#ifndef TCPSOCKETS_H
#define TCPSOCKETS_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct addrinfo;

// One address a host resolved to, as a socket takes it.
struct TcpAddress {
  int family = 0, socketType = 0, protocol = 0;
  int length = 0;              // of the bytes in address
  unsigned char address[128];  // a sockaddr_in or sockaddr_in6
};

// The addresses of the name host at port, in the resolver's order, appended
// to *addresses. The lookup runs in the background and is waited for until
// deadlineMs at most, so a silent name server cannot hold the caller beyond
// it. 1 resolved, 0 not resolved, -1 no answer in time.
int tcpSockets_resolve(const char *host, int port, int64_t deadlineMs,
                       std::vector<TcpAddress> *addresses);
#ifndef _WIN32
// The blocking lookup that the background runs (getaddrinfo); a test puts one
// that never answers in its place. NULL puts getaddrinfo back.
typedef int (*TcpLookup)(const char *host, const char *service, const struct addrinfo *hints,
                         struct addrinfo **result);
void tcpSockets_setLookup(TcpLookup lookup);
#endif
// The addresses of a getaddrinfo list, appended.
void tcpSockets_copyAddresses(const struct addrinfo *list, std::vector<TcpAddress> *addresses);

// Sockets are usable (Winsock started); FALSE with the reason otherwise.
bool tcpSockets_ready(std::string *reason);
// Milliseconds on a steady clock.
int64_t tcpSockets_nowMs(void);
// The text of an error code, to follow a colon: lower-case start, no full stop.
std::string tcpSockets_errorText(int error);

// A non-blocking socket for the address, not inherited by children and never
// raising SIGPIPE; TCP_NO_SOCKET with *error set when it cannot be made.
intptr_t tcpSockets_create(const TcpAddress *address, int *error);
// Starts the connect: 0 when it is under way or done, else the error.
int tcpSockets_startConnect(intptr_t socket, const TcpAddress *address);
// The connect's result once the socket is writable: 0 or the error.
int tcpSockets_connectResult(intptr_t socket);
void tcpSockets_setNoDelay(intptr_t socket);
void tcpSockets_close(intptr_t socket);

// Waits until deadlineMs for the socket to be writable (or its connect to
// fail) or readable: > 0 ready, 0 timed out, < 0 failed (*error set).
int tcpSockets_wait(intptr_t socket, bool writing, int64_t deadlineMs, int *error);

// One send or receive: the byte count, 0 from a receive when the peer has
// closed, -1 with *error set otherwise.
long tcpSockets_send(intptr_t socket, const char *data, size_t size, int *error);
long tcpSockets_receive(intptr_t socket, char *buffer, size_t size, int *error);

// Error classes: nothing to take or no room yet; a signal broke the call; the
// peer reset or dropped the connection; a connect that ran out of time.
bool tcpSockets_wouldBlock(int error);
bool tcpSockets_interrupted(int error);
bool tcpSockets_dropped(int error);
bool tcpSockets_timedOut(int error);
int tcpSockets_notConnected(void);

#endif  // TCPSOCKETS_H
