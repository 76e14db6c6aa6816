// Winsock for TcpConnection: every wait a select() until its deadline.
// Winsock calls return SOCKET_ERROR (or INVALID_SOCKET) upon failure, the
// reason in WSAGetLastError.
#include <winsock2.h>  // before windows.h, which would bring the old winsock.h
#include <ws2tcpip.h>

#include <windows.h>

#include <ctype.h>
#include <limits.h>

#include "platform/SystemError.h"
#include "platform/TcpConnection.h"
#include "platform/TcpSockets.h"

bool tcpSockets_ready(std::string *reason) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) *reason = "Winsock did not start";
  return started;
}

int64_t tcpSockets_nowMs(void) { return (int64_t)GetTickCount64(); }

std::string tcpSockets_errorText(int error) {
  SystemError captured = {error, ""};
  systemError_restore(&captured);
  systemError_capture(&captured);
  std::string text = captured.text;
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty()) text[0] = (char)tolower((unsigned char)text[0]);
  return text;
}

intptr_t tcpSockets_create(const struct addrinfo *address, int *error) {
  const SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
  if (s == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return TCP_NO_SOCKET;
  }
  SetHandleInformation((HANDLE)s, HANDLE_FLAG_INHERIT, 0);
  u_long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);
  return (intptr_t)s;
}

int tcpSockets_startConnect(intptr_t socket, const struct addrinfo *address) {
  if (connect((SOCKET)socket, address->ai_addr, (int)address->ai_addrlen) != SOCKET_ERROR) return 0;
  const int error = WSAGetLastError();
  return error == WSAEWOULDBLOCK ? 0 : error;
}

int tcpSockets_connectResult(intptr_t socket) {
  int error = 0;
  int length = sizeof error;
  if (getsockopt((SOCKET)socket, SOL_SOCKET, SO_ERROR, (char *)&error, &length) == SOCKET_ERROR)
    return WSAGetLastError();
  return error;
}

void tcpSockets_setNoDelay(intptr_t socket) {
  const BOOL on = TRUE;
  setsockopt((SOCKET)socket, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
}

void tcpSockets_close(intptr_t socket) { closesocket((SOCKET)socket); }

// A failed connect shows in the exception set, a finished one in the write set.
int tcpSockets_wait(intptr_t socket, bool writing, int64_t deadlineMs, int *error) {
  const int64_t now = (int64_t)GetTickCount64();
  const int64_t left = deadlineMs > now ? deadlineMs - now : 0;
  struct timeval wait = {(long)(left / 1000), (long)(left % 1000 * 1000)};
  fd_set ready, failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET((SOCKET)socket, &ready);
  FD_SET((SOCKET)socket, &failed);
  const int count = select(0, writing ? NULL : &ready, writing ? &ready : NULL, &failed, &wait);
  if (count == SOCKET_ERROR) {
    *error = WSAGetLastError();
    return -1;
  }
  return count;
}

long tcpSockets_send(intptr_t socket, const char *data, size_t size, int *error) {
  const int sent = send((SOCKET)socket, data, size > INT_MAX ? INT_MAX : (int)size, 0);
  if (sent == SOCKET_ERROR) *error = WSAGetLastError();
  return sent;
}

long tcpSockets_receive(intptr_t socket, char *buffer, size_t size, int *error) {
  const int got = recv((SOCKET)socket, buffer, size > INT_MAX ? INT_MAX : (int)size, 0);
  if (got == SOCKET_ERROR) *error = WSAGetLastError();
  return got;
}

bool tcpSockets_wouldBlock(int error) { return error == WSAEWOULDBLOCK; }
bool tcpSockets_interrupted(int error) { return error == WSAEINTR; }
bool tcpSockets_dropped(int error) {
  return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN ||
         error == WSAETIMEDOUT;
}
bool tcpSockets_timedOut(int error) { return error == WSAETIMEDOUT; }
int tcpSockets_notConnected(void) { return WSAENOTCONN; }
